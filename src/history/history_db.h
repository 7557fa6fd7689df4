// The player history's SQLite database: its tables, the prepared writes of
// the batch, the queries and the pruning of old rows. Every call reports
// failure as false and leaves what went wrong in fault() and message().
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "history/history_state.h"
#include "wire/history_text.h"

struct sqlite3;
struct sqlite3_stmt;

class HistoryDb {
 public:
  enum class Fault : std::uint8_t {
    kNone,
    kDamaged,     // not a database, or a corrupt one: to be moved aside
    kUnwritable,  // a full disk, a read-only file, an I/O error
  };

  // Opens the database at `path`, creating it and its tables when missing,
  // in WAL mode. None when it cannot; *fault and *message say why.
  static std::unique_ptr<HistoryDb> Open(const std::string& path, Fault* fault,
                                         std::string* message);
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  Fault fault() const { return fault_; }
  const std::string& message() const { return message_; }

  bool Begin();
  bool Commit();
  // Drops what the open transaction wrote (after a failure).
  void Rollback();
  // One write of the batch, inside a transaction.
  bool Apply(const HistoryWrite& write);
  // Deletes at most `limit` rows of each table last touched before
  // `cutoff` (notes stay); *deleted counts them.
  bool PruneSlice(std::int64_t cutoff, int limit, int* deleted);
  // The players a query matches (32 hexadecimal digits: a key hash; a
  // dotted address; else a part of a name, exact names first), with their
  // names, addresses, sessions and actions, newest first.
  bool Query(std::string_view query, HistoryReport* report);
  // Whether a player with the key hash was ever recorded.
  bool KnowsKeyhash(std::string_view keyhash, bool* known);

 private:
  explicit HistoryDb(sqlite3* db) : db_(db) {}
  enum Statement : int;
  bool Fail(int code);
  bool Exec(const char* sql);
  sqlite3_stmt* Prepared(Statement which);
  bool Step(sqlite3_stmt* statement, bool* row);
  // A value bound to a statement's parameter: a text, a number or NULL.
  struct Value {
    Value(std::string_view t) : text(t), is_text(true) {}
    Value(const std::string& t) : text(t), is_text(true) {}
    Value(std::int64_t n) : number(n) {}
    static Value Null() { Value v(std::int64_t{0}); v.is_null = true; return v; }
    std::string_view text;
    std::int64_t number = 0;
    bool is_text = false;
    bool is_null = false;
  };
  // Runs a prepared statement to its end with `values` bound in order;
  // *first_column gets the first column of its first row (0 when none).
  bool Run(Statement which, std::initializer_list<Value> values,
           std::int64_t* first_column = nullptr);
  bool FindOrAdd(const HistoryWrite& write, std::int64_t first, std::int64_t seconds,
                 std::int64_t* id, bool* added);
  bool Progress(const HistoryWrite& write);
  bool ActionPlayer(const HistoryWrite& write, std::int64_t* id);
  bool Matches(std::string_view query, std::vector<std::int64_t>* ids);
  bool ReadPlayer(std::int64_t id, HistoryPlayer* player);
  bool ReadUnattached(std::string_view query, HistoryReport* report);

  // The row ids of players looked up or added, by key hash: most writes are
  // on players the database already holds. Emptied when rows may have gone
  // (pruning, a transaction rolled back) or when it holds kKnownIdsMax.
  static constexpr std::size_t kKnownIdsMax = 20000;
  std::unordered_map<std::string, std::int64_t> ids_;
  sqlite3* db_ = nullptr;
  std::array<sqlite3_stmt*, 16> statements_{};
  Fault fault_ = Fault::kNone;
  std::string message_;
};
