// The file frame byte for byte; the target is touched only when the whole frame arrived intact.
#include "remote/transport.h"

#include <lzo/lzo1x.h>

#include <thread>

#include "core/helpers.h"
#include "links/link_fixture.h"

namespace korvtest {
namespace {

using korvclient::Adler32;
using korvclient::GetU32;

class TransportTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    ASSERT_EQ(lzo_init(), LZO_E_OK);
  }
  std::string Path(const std::string& name) { return dir_ / name; }
  std::string Receive(const std::string& name, const std::string& wire, bool* ok) {
    ::send(pair_.a, wire.data(), wire.size(), 0);
    *ok = ReceiveFile(Path(name), pair_.b);
    return ReadFile(Path(name));
  }
  TcpPair pair_;
};

TEST_F(TransportTest, FrameLayoutAndMarkers) {
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
  std::string text = "game.serverName \"Test\"\ngame.serverName \"Test\"\n";
  std::string frame = EncodeFrame(text);
  ASSERT_GT(frame.size(), 12u);
  EXPECT_EQ(GetU32(frame, 0), text.size());
  EXPECT_EQ(GetU32(frame, 4), frame.size() - 12);
  std::string packed = frame.substr(12);
  EXPECT_EQ(GetU32(frame, 8), Adler32(packed));
  std::string plain(text.size(), '\0');
  lzo_uint length = plain.size();
  ASSERT_EQ(lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(packed.data()),
                                  packed.size(), reinterpret_cast<unsigned char*>(plain.data()),
                                  &length, nullptr),
            LZO_E_OK);
  EXPECT_EQ(plain, text);
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
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);
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

TEST_F(TransportTest, ZeroLengthEmptiesTheFile) {
  WriteFile(Path("t.con"), "old");
  bool ok = false;
  EXPECT_EQ(Receive("t.con", std::string(4, '\0'), &ok), "");
  EXPECT_TRUE(ok);
  // The same frame kept whole by the command reader.
  WriteFile(Path("t.con"), "old");
  EXPECT_TRUE(StoreFileFrame(Path("t.con"), std::string(4, '\0'), pair_.b));
  EXPECT_EQ(ReadFile(Path("t.con")), "");
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
  struct Case {
    std::string wire;
    std::int32_t error;
  } cases[] = {{"\xBE\xBA\xEF\xBE", kErrFrame14},
               {bad_sum, kErrFrame13},
               {worst, kErrFrame13},
               {bad_length, kErrFrame12}};
  for (const Case& c : cases) {
    WriteFile(Path("t.con"), "old");
    bool ok = true;
    EXPECT_EQ(Receive("t.con", c.wire, &ok), "old");
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastError(), c.error);
    EXPECT_TRUE(Has(Log(), "Couldn't receive " + Path("t.con") + " from peer at 127.0.0.1! " +
                               ErrorText(c.error) + "\r\n"));
  }
}

TEST_F(TransportTest, AbsurdLengthsAreRefusedAndTheConnectionEnds) {
  struct Case {
    std::uint32_t plain;
    std::uint32_t packed;
  } cases[] = {{(64u << 20) + 1, 100}, {1000, 1130}, {0xFFFFFFF0u, 0xFFFFFFF0u}};
  for (const Case& c : cases) {
    TcpPair pair;
    WriteFile(Path("t.con"), "old");
    // The frame is followed by bytes that must not be read as commands.
    std::string wire = korvclient::U32(c.plain) + korvclient::U32(c.packed) + korvclient::U32(1) + korvclient::U32(0xBABE0001);
    ::send(pair.a, wire.data(), wire.size(), 0);
    EXPECT_FALSE(ReceiveFile(Path("t.con"), pair.b));
    EXPECT_EQ(LastError(), ENOMEM);
    EXPECT_EQ(ReadFile(Path("t.con")), "old");
    char byte;
    EXPECT_EQ(::recv(pair.b, &byte, 1, 0), 0);  // the daemon's side is shut
  }
}

}  // namespace
}  // namespace korvtest
