// The one instance of the links' state section.
#include "links/links_state.h"

#include <unistd.h>

namespace {
LinksState g_section;
}  // namespace

const LinksState& Links() { return g_section; }
LinksState& MutableLinks() { return g_section; }

int TakeConsoleSocket() {
  int fd = g_section.console_socket;
  g_section.console_socket = -1;
  return fd;
}

void CloseConsoleSocket() {
  int fd = TakeConsoleSocket();
  if (fd >= 0) ::close(fd);
}

void SetServerVersion(double version) { g_section.server_version = version; }
void SetPunkBusterEnabled(bool enabled) { g_section.punkbuster_enabled = enabled; }
void RememberPunkBusterVersion(const std::string& text) { g_section.punkbuster_version = text; }

void ForgetLinksOfOldServer() {
  MutableLinks().status_port = 0;
  MutableLinks().console_connected = false;
  MutableLinks().server_version = 0.0;
}

void ForgetLinksOfStoppedServer() {
  MutableLinks().status_port = 0;
  MutableLinks().server_version = 0.0;
  MutableLinks().team_counts = "??";
  MutableLinks().team_scores = "??";
}
