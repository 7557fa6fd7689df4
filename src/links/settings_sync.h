// Reading the running server's live settings through its console, and
// sending it the settings that changed since it was last known.
#pragma once

#include <string>

// Asks the server for the live value of every exchanged row, stores them in
// the table (with their unit conversions), takes the rows read from the
// status report from `report` and takes the snapshot. False
// when the console is down, the command fails or the answer has too few
// lines (earlier rows then stay updated, the snapshot does not).
bool SyncSettingsFromServer(const std::string& report);

// Sends one console line for every exchanged row that differs from the
// snapshot; the snapshot follows on success. True when nothing differs.
// False when the console is down or the command fails (the snapshot is
// left, so the same differences go out next time).
bool PushSettingChanges();
