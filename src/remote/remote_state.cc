// The one instance of the remote clients' state section.
#include "remote/remote_state.h"

RemoteState& Remote() {
  static RemoteState section;
  return section;
}
