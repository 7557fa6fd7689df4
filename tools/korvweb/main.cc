// korvweb: the web console of korvd.
#include <httplib.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "korvweb/app.h"
#include "korvweb/options.h"
#include "korvweb/settings_form.h"

namespace {
// Only a flag, as in every handler; the watcher thread stops the server.
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
// Once asked to stop, korvweb ends within this long whatever its workers do.
constexpr auto kStopLimit = std::chrono::seconds(5);
}  // namespace

int main(int argc, char** argv) {
  korvweb::Config config;
  std::string error;
  switch (korvweb::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &config, &error)) {
    case korvweb::Request::kHelp:
      return std::fputs(korvweb::kUsage, stdout), 0;
    case korvweb::Request::kVersion:
      return std::printf("korvweb %s\n", KORV_VERSION), 0;
    case korvweb::Request::kError:
      std::fprintf(stderr, "korvweb: %s\n%s", error.c_str(), korvweb::kUsage);
      return 2;
    case korvweb::Request::kServe:
      break;
  }
  // One malloc arena: the workers mostly wait, and an arena per thread
  // would cost resident memory for nothing.
  mallopt(M_ARENA_MAX, 1);
  korvweb::InitSettingsForm();
  korvweb::App app(config, korvweb::SteadySeconds);
  korvweb::GateLimits limits;
  limits.max_body = korvweb::kMaxBody;
  // Connections that wait for their request head may take half of the
  // descriptors korvweb may open; the rest stay for workers and daemon links.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
    limits.max_waiting = std::min<std::size_t>(8192, files.rlim_cur / 2);
  }
  // Each open page holds one stream worker with its notification stream.
  limits.stream_workers = config.max_sessions * korvweb::WebSession::kMaxStreams + 4;
  korvweb::GateServer server(limits, [&app](std::string_view head) { return app.LaneOf(head); });
  app.Register(server);
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> stop{false}, stopped{false};
  std::thread pump([&] { app.RunPump(stop, 200); });
  std::thread watcher([&] {
    while (!g_stop && !stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (auto& session : app.sessions().All()) app.sessions().Remove(session->id, nullptr);
    app.CloseFleet();
    server.stop();
    auto limit = std::chrono::steady_clock::now() + kStopLimit;
    while (!stopped && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!stopped) std::_Exit(0);
  });
  if (!server.bind_to_port(config.listen_host.c_str(), config.listen_port)) {
    std::fprintf(stderr, "korvweb: cannot listen on %s:%d\n", config.listen_host.c_str(),
                 config.listen_port);
    stop = stopped = true;
    watcher.join();
    pump.join();
    return 1;
  }
  std::printf("korvweb: serving http://%s:%d/ for the daemon at %s:%d\n", config.listen_host.c_str(),
              config.listen_port, config.daemon_host.c_str(), config.daemon_port);
  std::fflush(stdout);
  server.listen_after_bind();
  stop = true;
  pump.join();
  server.Shutdown();
  app.CloseFleet(true);
  stopped = true;
  watcher.join();
  return 0;
}
