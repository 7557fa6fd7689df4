// The daemon pointed at a stand-in console (user "ab", password "secret") and status port.
#pragma once

#include "links/console.h"
#include "links/fake_console.h"
#include "links/link_fixture.h"
#include "links/udp_responder.h"

namespace korvtest {

class StandInTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    PointAtStandIns(console_.port(), status_.port(), "ab", "secret");
  }
  UdpResponder status_{{"\\numplayers\\0\\queryid\\1.1\\final\\"}};
  FakeConsole console_{"ab", "secret", Replies()};
};

}  // namespace korvtest
