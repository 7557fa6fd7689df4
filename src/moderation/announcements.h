// Announcements: the lines of announcements.con posted into the game chat
// one at a time, with the daemon's own line after the last.
#pragma once

// The line posted after the last line of the file.
inline constexpr char kBuiltInAnnouncement[] =
    "*This server is managed by KORVD 2.0 from korvd.example.org";

// Counts one supervision tick and posts the next line when the period has
// passed. False when the file could not be opened (auto-announce is then
// switched off) or read; true otherwise, also when nothing was due.
bool AnnouncementStep();
