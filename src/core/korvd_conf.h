// korvd.conf: the daemon's own settings that korvane.con does not hold
// (remote clients rely on its rows), read from INI sections. Without the
// file every setting keeps its default.
#pragma once

#include <cstdint>
#include <string>

struct KorvdConf {
  /* [log] */
  // Rotated korvd logs kept beside the log; the oldest go first. 0 = no cap.
  std::int64_t log_keep_rotated = 100;
  // Total bytes of rotated logs kept. 0 = no cap.
  std::int64_t log_keep_rotated_bytes = 256LL * 1024 * 1024;
  // Identical lines written within one minute before further ones are only
  // counted ("last message repeated N times"). 0 = every line is written.
  std::int64_t log_repeat_threshold = 100;

  /* [console] */
  // Milliseconds between fetches of the console's pending output (the
  // game's chat) while the console link is up, so that a chat line reaches
  // the clients at once rather than on the next 3-second status tick.
  // 0 = only the status tick fetches; values below 50 are taken as 50.
  std::int64_t chat_poll_ms = 0;

  /* [history] */
  // Players seen and actions on them are kept in history.db (1) or not (0).
  std::int64_t history_enabled = 1;
  // Days a session, name, address or action is kept after it was last
  // touched; notes stay. 0 = kept for ever.
  std::int64_t history_retention_days = 365;

  /* [metrics] */
  // File rewritten on every status tick in the Prometheus text format; ""
  // writes none.
  std::string metrics_textfile;
  // The server="NAME" label of every series in that file, so that the files
  // of many instances scraped together never collide; "" takes the base
  // name of the server directory.
  std::string metrics_server;

  /* [fleet] (off while database is "") */
  // libpq connection string of the database the servers of a fleet share
  // their bans through.
  std::string fleet_database;
  // This server's name in the fleet; "" = the server directory's base name.
  std::string fleet_server;
  // Events held in fleetqueue.con while the database is away; a ban made
  // with the queue full stays on this server only (logged).
  std::int64_t fleet_queue_limit = 1000;
  // Longest wait between two attempts to reach the database; the first
  // wait is one second, each failure doubles it.
  std::int64_t fleet_retry_max_seconds = 30;

  /* [remote] */
  // Bytes a second written to any one client connection, in bursts of up to
  // a few milliseconds' worth: a client that downloads without pause cannot
  // take the daemon's whole CPU from the ticks and the other clients.
  // 0 = no limit.
  std::int64_t remote_send_bytes_per_second = 64LL * 1024 * 1024;
  // Seconds a logged-in client may leave a command unfinished without
  // sending a byte more; a slow but steady upload never runs into it.
  std::int64_t remote_stall_seconds = 2;

  /* [supervision] (each 0 = off) */
  // A running server whose console and status port both stay silent this
  // long is hung: logged, and with -restart stopped and started again.
  std::int64_t hang_seconds = 0;
  // After a restart loop, the first wait before trying again; each further
  // loop doubles it up to loop_cooldown_max_seconds.
  std::int64_t loop_cooldown_seconds = 0;
  std::int64_t loop_cooldown_max_seconds = 3600;
  // A scheduled restart that falls due while players are on waits up to
  // this long for the server to be empty (0 = restarts at once).
  std::int64_t restart_when_empty_seconds = 0;
  // Seconds between two status ticks, and from the start to the first status
  // and supervision ticks (a server started just now gets that long to appear).
  std::int64_t status_tick_seconds = 3;
};

// Reads `path` into *conf over its defaults. A missing file leaves every
// default. Unknown keys, values out of range and unreadable lines are
// logged with a WARNING and skipped. Returns false when the file exists but
// cannot be opened (the defaults then hold; the last error says why).
bool LoadKorvdConf(const std::string& path, KorvdConf* conf);

// korvd.conf in the settings directory.
std::string KorvdConfPath();

// Reads korvd.conf afresh (on SIGHUP): a key taken out of the file returns
// to its default. Each setting that changes is logged and takes effect at
// once, as every key is read where it is used. A file that cannot be read
// is logged and the settings in force stay. False in that case.
bool ReloadKorvdConf();
