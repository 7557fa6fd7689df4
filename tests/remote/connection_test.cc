// The session input parser fed whole, byte-wise and randomly split streams, and hostile lengths.
#include <gtest/gtest.h>

#include <poll.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "links/link_fixture.h"
#include "remote/command_parser.h"
#include "remote/connection.h"
#include "remote/transport.h"
#include "support/remote_client.h"

using korvclient::Frame;
using korvclient::U32;

namespace {

using Seen = std::tuple<UnitKind, std::uint32_t, std::string, std::string>;  // code, text, frame

std::vector<Seen> Parse(const std::string& input, const std::vector<std::size_t>& cuts, std::uint32_t access) {
  std::vector<Seen> seen;
  std::string buffer;
  std::size_t from = 0;
  auto feed = [&](std::size_t to) {
    buffer += input.substr(from, to - from);
    from = to;
    for (;;) {
      CommandUnit unit = ParseCommandUnit(buffer, access);
      if (unit.kind == UnitKind::kIncomplete) return;
      seen.emplace_back(unit.kind, unit.code, unit.text, std::string(unit.frame));
      buffer.erase(0, unit.consumed);
    }
  };
  for (std::size_t cut : cuts) feed(cut);
  feed(input.size());
  EXPECT_TRUE(buffer.empty());
  return seen;
}

TEST(CommandParser, TheSameCommandsWholeByteByByteAndInRandomSplits) {
  std::string payload(3000, 'r');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7919 % 251);
  std::string frame = Frame(payload);
  std::string stream = U32(kClientKeepAlive) +                                    // keep-alive
                       U32(kClientSayToAll) + U32(6) + std::string("hello\0", 6) +  // say to all
                       U32(kClientRawConsoleCommand) + U32(300) + std::string(300, 'x') +    // excess dropped
                       U32(kClientBanListUpload) + frame +                               // ban list upload
                       U32(kClientScheduleUpload) + U32(0) +                              // empty file
                       U32(kClientAnnouncementsUpload) + U32(0xBEEFBABE) +                     // abort marker
                       U32((kClientLast + 1)) +                                       // bogus
                       U32(kClientVerifyBanLists) +                                       // admin only
                       U32(kClientDisconnectClient) + U32(2) + std::string("3\0", 2);
  const std::vector<Seen> expected = {
      {UnitKind::kCommand, kClientKeepAlive, "", ""},
      {UnitKind::kCommand, kClientSayToAll, std::string("hello\0", 6), ""},
      {UnitKind::kCommand, kClientRawConsoleCommand, std::string(255, 'x'), ""},
      {UnitKind::kCommand, kClientBanListUpload, "", frame},
      {UnitKind::kCommand, kClientScheduleUpload, "", U32(0)},
      {UnitKind::kCommand, kClientAnnouncementsUpload, "", U32(0xBEEFBABE)},
      {UnitKind::kBogus, (kClientLast + 1), "", ""},
      {UnitKind::kNoAccess, kClientVerifyBanLists, "", ""},
      {UnitKind::kCommand, kClientDisconnectClient, std::string("3\0", 2), ""},
  };
  constexpr std::uint32_t kMask = 0x7FFFFFFF;  // everything but administrator-only codes
  EXPECT_EQ(Parse(stream, {}, kMask), expected);
  std::vector<std::size_t> every;
  for (std::size_t i = 1; i < stream.size(); ++i) every.push_back(i);
  EXPECT_EQ(Parse(stream, every, kMask), expected);
  std::mt19937 random(42);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0;;) {
      at += 1 + random() % 40;
      if (at >= stream.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(Parse(stream, cuts, kMask), expected) << "round " << round;
  }
}

TEST(CommandParser, AbsurdLengthsAreRefusedOnTheirHeader) {
  constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
  CommandUnit text = ParseCommandUnit(U32(kClientRawConsoleCommand) + U32(65537), kAdmin);
  EXPECT_EQ(std::pair(text.kind, text.text_length), std::pair(UnitKind::kTextTooLong, 65537u));
  EXPECT_EQ(ParseCommandUnit(U32(kClientRawConsoleCommand) + U32(65536), kAdmin).kind, UnitKind::kIncomplete);
  // Lengths past 64 MiB or past what LZO can pack are refused; the limits wait for their bytes.
  auto frame = [](std::uint32_t plain, std::uint32_t packed) {
    return ParseCommandUnit(U32(kClientSettingsUpload) + U32(plain) + U32(packed) + U32(0), kAdmin);
  };
  EXPECT_EQ(std::tuple(frame((64u << 20) + 1, 10).kind, frame(16, 16 + 1 + 67 + 1).kind, frame(64u << 20, 10).kind),
            std::tuple(UnitKind::kFrameTooLarge, UnitKind::kFrameTooLarge, UnitKind::kIncomplete));
  CommandUnit limit = frame(16, 16 + 1 + 67);
  EXPECT_EQ(std::pair(limit.kind, limit.needed), std::pair(UnitKind::kIncomplete, std::size_t{4 + 12 + 84}));
}

// Peers that read slowly or not at all: what their sockets do not take waits in the output.
class ConnectionOutput : public korvtest::LogFixture {
 protected:
  // `peer` as a connection with a small send buffer, the highest descriptor in the table.
  int Accept(korvclient::Client& peer) {
    int port = 0;
    int listener = korvtest::BindLoopback(false, 0, &port);
    EXPECT_TRUE(peer.Connect(port));
    AcceptConnection(listener);
    ::close(listener);
    int fd = -1;
    for (int i = 1023; i >= 3 && fd < 0; --i) fd = FindConnection(i) != nullptr ? i : -1;
    int small = 16 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    return fd;
  }
};

TEST_F(ConnectionOutput, DownloadsShareTheKeptFrameAndGoOutWholeAndInOrder) {
  korvclient::Client peers[2];
  int fds[2] = {Accept(peers[0]), Accept(peers[1])};
  std::string data;
  for (int i = 0; data.size() < 1'000'000; ++i) data += "\"Player " + std::to_string(i * 7919) + "\"\n";
  std::string changed = data;
  changed[0] = 'X';
  korvtest::WriteFile(dir_ / "bans.con", data);
  for (int fd : fds) ASSERT_TRUE(QueueClientOutput(fd, "head", 4) && QueueFile(dir_ / "bans.con", fd));
  korvtest::WriteFile(dir_ / "new.con", changed);
  ASSERT_EQ(std::rename((dir_ / "new.con").c_str(), (dir_ / "bans.con").c_str()), 0);
  for (int fd : fds) ASSERT_TRUE(QueueFile(dir_ / "bans.con", fd) && QueueClientOutput(fd, "tail", 4));
  const std::deque<OutputChunk>& first = FindConnection(fds[0])->output;
  const std::deque<OutputChunk>& second = FindConnection(fds[1])->output;
  ASSERT_EQ(std::pair(first.size(), second.size()), (std::pair<std::size_t, std::size_t>(3, 3)));
  EXPECT_EQ(std::pair(first[0].shared, first[1].shared), std::pair(second[0].shared, second[1].shared));
  EXPECT_NE(first[0].shared, first[1].shared);
  const std::string expected = "head" + EncodeFrame(data) + EncodeFrame(changed) + "tail";
  std::string got[2];
  for (int round = 0; round < 20000 && got[0].size() + got[1].size() < 2 * expected.size(); ++round) {
    for (int p = 0; p < 2; ++p) {
      std::size_t before = FindConnection(fds[p])->output_pending;
      ASSERT_TRUE(FlushConnection(fds[p]));
      EXPECT_LE(before - FindConnection(fds[p])->output_pending, kWritePerPass);
      pollfd readable{peers[p].fd(), POLLIN, 0};
      if (::poll(&readable, 1, 10) > 0) got[p] += korvtest::TcpPair::Drain(peers[p].fd());
    }
  }
  EXPECT_TRUE(got[0] == expected && got[1] == expected)
      << got[0].size() << " and " << got[1].size() << " of " << expected.size() << " bytes";
}

// One reply may pass the cap when nothing else waits; more for a non-reader closes it.
TEST_F(ConnectionOutput, APeerThatNeverReadsIsDroppedAtTheCap) {
  korvclient::Client peer;
  int fd = Accept(peer);
  EXPECT_FALSE(InputWaiting());  // an idle connection lets the loop wait
  SharedBytes big = std::make_shared<const std::vector<unsigned char>>(kMaxPendingOutput + kWritePerPass);
  ASSERT_TRUE(QueueClientBytes(fd, big));
  std::size_t pending = FindConnection(fd)->output_pending;
  EXPECT_FALSE(QueueClientOutput(fd, "x", 1));
  EXPECT_EQ(std::tuple(LastError(), FindConnection(fd)->closing, big.use_count()), std::tuple(ENOBUFS, true, 1L));
  EXPECT_TRUE(korvtest::Has(Log(), " is not reading: " + std::to_string(pending + 1) + " bytes"));
}

TEST_F(ConnectionOutput, AReplyToAResetPeerFails) {
  korvclient::Client peer;
  int fd = Accept(peer);
  linger abort{1, 0};
  ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  peer.Close();
  pollfd reset{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&reset, 1, 5000), 1);
  EXPECT_FALSE(QueueClientOutput(fd, "reply", 5));
  EXPECT_EQ(FindConnection(fd)->output_pending, 0u);
}

// The bucket fills up to one burst (at least a write piece); a rate of 0 is no limit.
TEST(OutputPaceTest, FillsWithTheRateUpToOneBurst) {
  using std::chrono::milliseconds;
  const ConnectionClock::time_point t0{};
  EXPECT_EQ(OutputPace::Burst(1'000'000), kWritePerPass);
  EXPECT_EQ(OutputPace::Burst(64 << 20), (64u << 20) / 1000 * kPaceBurstMilliseconds);
  OutputPace pace;
  EXPECT_EQ(pace.Allowed(t0, 0), SIZE_MAX);
  EXPECT_EQ(pace.Allowed(t0, 1'000'000), kWritePerPass);  // a new connection starts full
  pace.Spend(kWritePerPass + 100);
  // Time never runs back: 5 ms after 10 ms allows what 10 ms did.
  EXPECT_EQ((std::vector{pace.Allowed(t0, 1'000'000), pace.Allowed(t0 + milliseconds(10), 1'000'000),
                         pace.Allowed(t0 + milliseconds(5), 1'000'000)}),
            (std::vector<std::size_t>{0, 10'000, 10'000}));
  EXPECT_EQ(std::pair(pace.ReadyAt(30'000, 1'000'000), pace.ReadyAt(5'000, 1'000'000)),
            std::pair(t0 + milliseconds(30), t0 + milliseconds(10)));
  pace.Spend(4'000);
  EXPECT_EQ(pace.Allowed(t0 + milliseconds(12), 1'000'000), 8'000u);
  EXPECT_EQ(pace.Allowed(t0 + milliseconds(5000), 1'000'000), kWritePerPass);
}

// A paced download waits out of the select set; the leave writes without a pace.
TEST_F(ConnectionOutput, ADownloadGoesOutAtTheRateOfKorvdConf) {
  constexpr std::int64_t kRate = 1 << 20;
  g_manager.core.conf.remote_send_bytes_per_second = kRate;
  korvclient::Client peer;
  int fd = Accept(peer);
  const auto start = ConnectionClock::now();
  auto big = std::make_shared<const std::vector<unsigned char>>(1'000'000, 'b');
  ASSERT_TRUE(QueueClientBytes(fd, big));
  fd_set writable;
  std::size_t received = 0;
  for (int round = 0; round < 50; ++round) {
    pollfd readable{peer.fd(), POLLIN, 0};
    if (::poll(&readable, 1, 5) > 0) received += korvtest::TcpPair::Drain(peer.fd()).size();
    FD_ZERO(&writable);
    if (WatchPendingOutput(&writable) == fd) {
      ASSERT_TRUE(FlushConnection(fd));
    }
  }
  double seconds = std::chrono::duration<double>(ConnectionClock::now() - start).count();
  EXPECT_GT(received, 0u);
  EXPECT_LE(received, kWritePerPass + static_cast<std::size_t>(seconds * kRate));
  FindConnection(fd)->pace.Spend(SIZE_MAX);
  FD_ZERO(&writable);
  EXPECT_EQ(WatchPendingOutput(&writable), -1);
  const long wait = MillisecondsToNextDeadline(ConnectionClock::now());
  EXPECT_TRUE(wait >= 60 && wait <= 64) << wait;  // 64 KiB at 1 MiB/s, rounded up
  PaceOutput(false);
  EXPECT_EQ(WatchPendingOutput(&writable), fd);
  EXPECT_GT(MillisecondsToNextDeadline(ConnectionClock::now()), 1000);  // only the handshake's
}

}  // namespace
