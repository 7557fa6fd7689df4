// The current values of the settings the links read, by table row.
#pragma once

#include <cstdint>

// Rows of the settings table the links read.
inline constexpr int kRowServerIp = 2;
inline constexpr int kRowServerPort = 4;
inline constexpr int kRowConsolePort = 5;
inline constexpr int kRowGameSpyPort = 6;
inline constexpr int kRowGameSpyLanPort = 7;
inline constexpr int kRowServerInternet = 11;
inline constexpr int kRowBanInBfAndPb = 32;
inline constexpr int kRowSmartBalance = 51;
inline constexpr int kRowSmartBalanceValue = 52;

// The value of a numeric row.
std::int32_t LinkSetting(int row);
void SetLinkSetting(int row, std::int32_t value);
