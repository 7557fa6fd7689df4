// The client side of the remote-administration protocol (its codes and the
// access rule are shared with the daemon in core/protocol.h): the login
// blocks, the command and file encodings, the access rule in words, the
// notifications in words. Frames and untrusted bytes are read with the
// wire codecs the daemon uses (wire/file_frame.h, wire/span_reader.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/protocol.h"

namespace korvctl {

// Caps on what the daemon may announce before anything is allocated.
inline constexpr std::uint32_t kMaxNoticeData = 1u << 16;
inline constexpr std::uint32_t kMaxReply = 1u << 16;

// The 32-byte login block: the text, its terminating zero, zero padding,
// enciphered with RC4 under the client key. Texts longer than 31 characters
// have no block.
std::optional<std::string> LoginBlock(std::string_view text);
// The password field of the change-password command: a 32-byte buffer of
// random padding with the password and its zero over the start, enciphered
// under the client key and written as 64 upper-case hexadecimal digits.
std::optional<std::string> PasswordField(std::string_view password);
// `size` random padding characters of the enciphered account fields ('0'
// to 'y'), as the daemon pads them.
std::string PaddingText(std::size_t size);

// One command: the code, and for text commands the length (counting the
// terminating zero) and the text with its zero.
std::string EncodeCommand(std::uint32_t code);
std::string EncodeTextCommand(std::uint32_t code, std::string_view text);

// What the account lacks for `code`, in words ("the P (players) letter").
std::string AccessNeeded(std::uint32_t code);
// The access mask as letters, SGFIATMPBUHC, upper case when granted, plus
// the extra rights in words; "-- admin --" for the administrator mask.
std::string AccessLetters(std::uint32_t mask);

// One notification as it arrived.
struct Notice {
  std::uint32_t code = 0;
  std::string text;  // the data up to its first zero byte
  bool has_data = false;
};
// Short name ("player kicked"), empty for a code without a meaning.
std::string_view NoticeName(std::uint32_t code);
// The notification in words, with its data ("player kicked: Bob").
std::string DescribeNotice(const Notice& notice);
// The machine name used in JSON ("player_kicked").
std::string NoticeKey(std::uint32_t code);
// What moderation did, for the notifications that report a kick or a ban
// of a player: the action ("kick", "ban") and its cause in words ("" when
// an administrator acted). None for other codes.
struct ModerationFacts {
  std::string_view action;
  std::string_view cause;
};
std::optional<ModerationFacts> ModerationOf(std::uint32_t code);

}  // namespace korvctl
