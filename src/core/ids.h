// How players are told apart: dotted IPv4 addresses and key hashes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Dotted IPv4 text to a host-order address: at most 15 characters, up to
// four parts, missing parts 0, parts above 255 become 0.
std::uint32_t ParseDottedIp(const char* text);
std::string FormatDottedIp(std::uint32_t address);

// True for exactly 32 hex digits; else false with 30016 or 30017.
bool CheckKeyhash(std::string_view text);
// True when every character is a hex digit (an empty text is true).
bool IsHexString(std::string_view text);
