// Discovery of the installed mods, their maps and the game modes each map
// offers: mods.con, maps.con and the unpure mods list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Game-mode mask bits of a map.
inline constexpr std::uint32_t kModeConquest = 1;
inline constexpr std::uint32_t kModeCoop = 2;
inline constexpr std::uint32_t kModeCtf = 4;
inline constexpr std::uint32_t kModeTdm = 8;
inline constexpr std::uint32_t kModeObjective = 16;

// Writes one line per playable mod (a directory under mods/ holding
// init.con) to `path` and rebuilds the unpure mods list. False (logged)
// when the file or the mods directory cannot be used; the file then holds
// the lines found before the failure.
bool WriteModsFile(const std::string& path);

// Reads mods.con of the settings directory and writes "mod,map,mask" lines
// to `path` for every map archive with at least one game mode. A map whose
// archive cannot be opened is left out. False (logged) on a failure.
bool WriteMapsFile(const std::string& path);

// The game-mode mask of one map archive: the modes whose gametypes file
// the archive's directory names. None (logged) when it cannot be opened; a
// directory that runs past the end of the file gives the modes found so far.
std::optional<std::uint32_t> DetectGameTypes(const std::string& archive_path);
