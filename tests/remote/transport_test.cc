// The file frame byte for byte; the target is touched only when the whole frame arrived intact.
#include "remote/transport.h"

#include <lzo/lzo1x.h>

#include <filesystem>
#include <thread>

#include "core/files.h"
#include "core/last_error.h"
#include "links/link_fixture.h"

namespace korvtest {
namespace {


class TransportTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    ASSERT_EQ(lzo_init(), LZO_E_OK);
  }
  std::string Path(const std::string& name) { return dir_ / name; }
  // `wire` received into t.con, which held "old": whether it was taken, and what t.con holds.
  std::pair<bool, std::string> Receive(const std::string& wire, TcpPair* pair = nullptr) {
    if (pair == nullptr) pair = &pair_;
    WriteFile(Path("t.con"), "old");
    ::send(pair->a, wire.data(), wire.size(), 0);
    bool ok = ReceiveFile(Path("t.con"), pair->b);
    return {ok, ReadFile(Path("t.con"))};
  }
  TcpPair pair_;
};

TEST_F(TransportTest, FrameLayoutAndMarkers) {
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
  // Plain length, packed length, Adler-32 of the packed bytes, then the LZO1X-1 data.
  std::string text = "game.serverName \"Test\"\ngame.serverName \"Test\"\n";
  EXPECT_EQ(EncodeFrame(text), korvclient::Frame(text));
}

TEST_F(TransportTest, SendFileWritesFramesAndAbortMarker) {
  WriteFile(Path("full.con"), "admin.kickPlayer 3\n");
  ASSERT_TRUE(SendFile(Path("full.con"), pair_.a));
  EXPECT_EQ(TcpPair::Drain(pair_.b), EncodeFrame("admin.kickPlayer 3\n"));

  WriteFile(Path("empty.con"), "");
  ASSERT_TRUE(SendFile(Path("empty.con"), pair_.a));
  EXPECT_EQ(TcpPair::Drain(pair_.b), std::string(4, '\0'));
  EXPECT_EQ(Log(), "");  // an empty file is no failure

  EXPECT_FALSE(SendFile(Path("missing.con"), pair_.a));
  EXPECT_EQ(TcpPair::Drain(pair_.b), "\xBE\xBA\xEF\xBE");
  EXPECT_TRUE(Has(Log(), " : Couldn't send " + Path("missing.con") + " to peer at 127.0.0.1! " +
                             ErrorText(ENOENT) + "\r\n"));
}

TEST_F(TransportTest, RoundTripOfLargeFileIntoNewDirectory) {
  std::string data;
  for (int i = 0; data.size() < 3'000'000; ++i) data += "line " + std::to_string(i * 7919) + "\n";
  auto round_trip = [&] {
    bool sent = false;
    std::thread sender([&] { sent = SendFile(Path("source.bin"), pair_.a); });
    bool received = ReceiveFile(Path("sub/dir/target.bin"), pair_.b);
    sender.join();
    EXPECT_EQ(std::pair(sent, received), std::pair(true, true));
    EXPECT_EQ(ReadFile(Path("sub/dir/target.bin")), data);
  };
  WriteFile(Path("source.bin"), data);
  round_trip();
  round_trip();  // the frame kept from the first time
  // A change of the same size, in place or by a new file, is sent anew.
  data[100] = 'X';
  WriteFile(Path("source.bin"), data);
  round_trip();
  data[200] = 'Y';
  WriteFile(Path("new.bin"), data);
  ASSERT_EQ(std::rename(Path("new.bin").c_str(), Path("source.bin").c_str()), 0);
  round_trip();
}

TEST_F(TransportTest, ZeroLengthEmptiesTheFileAndPasswordUploadsAreOwnerOnly) {
  EXPECT_EQ(Receive(std::string(4, '\0')), std::pair(true, std::string()));
  // The same frame kept whole by the command reader.
  WriteFile(Path("t.con"), "old");
  EXPECT_TRUE(StoreFileFrame(Path("t.con"), std::string(4, '\0'), pair_.b));
  EXPECT_EQ(ReadFile(Path("t.con")), "");
  // An upload that holds passwords is stored for the owner alone.
  namespace fs = std::filesystem;
  fs::permissions(Path("t.con"), fs::perms::all);
  EXPECT_TRUE(StoreFileFrame(Path("t.con"), EncodeFrame("pw"), pair_.b, FileAccess::kOwnerOnly));
  EXPECT_EQ(fs::status(Path("t.con")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(TransportTest, DamagedFramesLeaveTheFileUntouched) {
  std::string good = EncodeFrame("new content of the file, new content of the file\n");
  std::string bad_sum = good;
  bad_sum[15] ^= 0x01;
  std::string bad_length = good;
  bad_length[0] += 1;  // announces one byte more than the data holds
  // 1000 bytes may pack into 1000 + 1000 / 16 + 67 at worst: read, then refused.
  std::string worst = korvclient::U32(1000) + korvclient::U32(1129) + korvclient::U32(1);
  worst += std::string(1129, 'x');
  const std::pair<std::string, std::int32_t> cases[] = {
      {"\xBE\xBA\xEF\xBE", kErrFrame14}, {bad_sum, kErrFrame13}, {worst, kErrFrame13},
      {bad_length, kErrFrame12}};
  for (const auto& [wire, error] : cases) {
    EXPECT_EQ(Receive(wire), std::pair(false, std::string("old")));
    EXPECT_EQ(LastError(), error);
    EXPECT_TRUE(Has(Log(), "Couldn't receive " + Path("t.con") + " from peer at 127.0.0.1! " +
                               ErrorText(error) + "\r\n"));
  }
}

TEST_F(TransportTest, AbsurdLengthsAreRefusedAndTheConnectionEnds) {
  using korvclient::U32;
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {(64u << 20) + 1, 100}, {1000, 1130}, {0xFFFFFFF0u, 0xFFFFFFF0u}};
  for (const auto& [plain, packed] : cases) {
    TcpPair pair;
    // The frame is followed by bytes that must not be read as commands.
    EXPECT_EQ(Receive(U32(plain) + U32(packed) + U32(1) + U32(kClientSettingsUpload), &pair),
              std::pair(false, std::string("old")));
    EXPECT_EQ(LastError(), ENOMEM);
    char byte;
    EXPECT_EQ(::recv(pair.b, &byte, 1, 0), 0);  // the daemon's side is shut
  }
}

}  // namespace
}  // namespace korvtest
