// The player history's state section.
#include "history/history_state.h"

#include "history/history_db.h"

namespace {
HistoryState g_history;
}  // namespace

void HistoryDbCloser::operator()(HistoryDb* db) const { delete db; }

const HistoryState& History() { return g_history; }
HistoryState& MutableHistory() { return g_history; }
