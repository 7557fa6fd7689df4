// korvweb: the web console of korvd.
#include <httplib.h>
#include <malloc.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "korvweb/app.h"
#include "korvweb/options.h"
#include "korvweb/settings_form.h"

namespace {
httplib::Server* g_server = nullptr;
// Only a flag, as in every handler; the watcher thread stops the server.
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
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
  httplib::Server server;
  // Each open page holds one worker with its notification stream; the
  // others serve requests.
  server.new_task_queue = [&config] {
    return new httplib::ThreadPool(config.max_sessions + 8);
  };
  app.Register(server);
  g_server = &server;
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> stop{false};
  std::thread pump([&] { app.RunPump(stop, 200); });
  std::thread watcher([&] {
    while (!g_stop && !stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (auto& session : app.sessions().All()) app.sessions().Remove(session->id);
    app.CloseFleet();
    g_server->stop();
  });
  if (!server.bind_to_port(config.listen_host.c_str(), config.listen_port)) {
    std::fprintf(stderr, "korvweb: cannot listen on %s:%d\n", config.listen_host.c_str(),
                 config.listen_port);
    stop = true;
    watcher.join();
    pump.join();
    return 1;
  }
  std::printf("korvweb: serving http://%s:%d/ for the daemon at %s:%d\n", config.listen_host.c_str(),
              config.listen_port, config.daemon_host.c_str(), config.daemon_port);
  std::fflush(stdout);
  server.listen_after_bind();
  stop = true;
  watcher.join();
  pump.join();
  return 0;
}
