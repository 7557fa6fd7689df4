// The one instance of the links' state section.
#include "links/links_state.h"

LinksState& Links() {
  static LinksState section;
  return section;
}

void ForgetLinksOfOldServer() {
  Links().status_port = 0;
  Links().console_connected = false;
}

void ForgetLinksOfStoppedServer() {
  Links().status_port = 0;
  Links().team_counts = "??";
  Links().team_scores = "??";
}
