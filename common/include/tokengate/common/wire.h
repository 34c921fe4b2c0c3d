// Binary framing of the broker interface for transports without an RPC runtime of their own.
//
// Every frame is a 12-byte header followed by a body; all integers are little-endian, text is
// UTF-16 code units, little-endian, without terminator:
//
//   header   magic u32 ("TGRP"), version u16, kind u16 (1 request, 2 reply, 3 fault),
//            body length u32 (bounded per kind)
//   request  procedure u32, config (len i32, units), token (len i32, units),
//            prefix (len i32, units), TokenUpdateWindow i32, [ChildProcessID i32, procedure 1]
//   reply    procedure u32, result i64, flags u32 (bit 0: a descriptor travels with the reply),
//            updated token (len i32, units), header (len i32, units), attribute list (len, units)
//   fault    code u32 (not 0)
//
// Every length is checked against its limit before anything is copied; the decoders never read
// outside the bytes given, never throw on bad input and copy nothing when a frame is bad.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tokengate/common/authenticator.h"

namespace tokengate::rpc::wire {

inline constexpr std::uint32_t kMagic = 0x50524754;  // "TGRP" as bytes on the wire
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 12;

enum class FrameKind : std::uint16_t { kRequest = 1, kReply = 2, kFault = 3 };

// Input limits in UTF-16 units. The token limit is the contract's; the two others are ours: a
// codec properties path beyond 4,096 units or an attribute-name prefix beyond 1,024 units is
// refused rather than carried.
inline constexpr std::int32_t kMaxConfigUnits = 4096;
inline constexpr std::int32_t kMaxTokenUnits = rpc::kMaxTokenUnits;
inline constexpr std::int32_t kMaxPrefixUnits = 1024;

inline constexpr std::uint32_t kReplyFlagDescriptor = 1;

// Largest bodies a well-formed frame can have.
inline constexpr std::size_t kMaxRequestBody =
    4 + (4 + 2 * kMaxConfigUnits) + (4 + 2 * kMaxTokenUnits) + (4 + 2 * kMaxPrefixUnits) + 4 + 4;
inline constexpr std::size_t kMaxReplyBody = 4 + 8 + 4 + (4 + 2 * rpc::kMaxUpdatedTokenUnits) +
                                             (4 + 2 * rpc::kMaxHeaderUnits) +
                                             (4 + 2 * rpc::kMaxAttributeListUnits);
inline constexpr std::size_t kFaultBody = 4;

enum class WireError : std::uint8_t {
  kOk,
  kTruncated,      // fewer bytes than the frame needs
  kBadMagic,       // not a frame of this protocol
  kBadVersion,     // another version of the framing
  kBadKind,        // a kind not expected here
  kTooLarge,       // body length above the limit of its kind
  kBadProcedure,   // procedure number out of range
  kBadLength,      // a length field negative or above its limit
  kNullPointer,    // units missing for a non-zero length (encoding only)
  kBadFlags,       // unknown reply flag bits
  kBadFault,       // fault code 0
  kTrailingBytes,  // bytes after the last field
};

// Short English description for logs and test messages.
const char* Describe(WireError error);
// The RPC status that stands for `error`: 1745 for an unknown procedure, 1783 for a length out
// of range, 1780 for missing units, 1728 for anything else.
std::uint32_t StatusFor(WireError error);

struct FrameHeader {
  FrameKind kind = FrameKind::kRequest;
  std::uint32_t bodyLength = 0;
};

// Reads and checks a frame header from the first kHeaderSize bytes: magic, version, kind and
// body length within the limit of its kind.
WireError DecodeHeader(std::span<const std::uint8_t> bytes, FrameHeader& header);

// One call's inputs as the caller gives them.
struct RequestIn {
  Procedure procedure = Procedure::GetHeaderString;
  std::int32_t configLength = 0;
  const char16_t* config = nullptr;
  std::int32_t tokenLength = 0;
  const char16_t* token = nullptr;
  std::int32_t prefixLength = 0;
  const char16_t* prefix = nullptr;
  std::int32_t tokenUpdateWindow = 0;
  std::int32_t childProcessId = 0;  // procedure 1 only
};

// A decoded request; the strings are owned copies of exactly the units sent.
struct Request {
  Procedure procedure = Procedure::GetHeaderString;
  std::u16string config;
  std::u16string token;
  std::u16string prefix;
  std::int32_t tokenUpdateWindow = 0;
  std::int32_t childProcessId = 0;
};

// Replaces `out` with the request frame. Refuses negative lengths and lengths above the limits
// (kBadLength) and missing units (kNullPointer), leaving `out` empty.
WireError EncodeRequest(const RequestIn& in, std::vector<std::uint8_t>& out);
// Decodes one complete request frame (header included, nothing after it).
WireError DecodeRequest(std::span<const std::uint8_t> frame, Request& out);

// A reply as the server sends it: only the used part of each output.
struct ReplyIn {
  Procedure procedure = Procedure::GetHeaderString;
  std::int64_t result = 0;
  bool descriptorAttached = false;
  std::u16string_view updatedToken{};
  std::u16string_view header{};
  std::u16string_view attributeList{};
};

// Replaces `out` with the reply frame; kBadLength when an output exceeds its capacity.
WireError EncodeReply(const ReplyIn& in, std::vector<std::uint8_t>& out);
// Replaces `out` with a fault frame carrying `code`.
void EncodeFault(std::uint32_t code, std::vector<std::uint8_t>& out);

// A caller-owned output array with its length.
struct OutputArray {
  std::int32_t* length = nullptr;
  char16_t* units = nullptr;
  std::int32_t capacity = 0;
};

// What a reply or fault frame said.
struct ReplyInfo {
  FrameKind kind = FrameKind::kReply;
  std::uint32_t faultCode = 0;  // kind == kFault
  Procedure procedure = Procedure::GetHeaderString;
  std::int64_t result = 0;
  bool descriptorAttached = false;
};

// Decodes one complete reply or fault frame. For a reply the three outputs (updated token,
// header, attribute list; any may be left empty to only check the frame) receive their units
// followed by a NUL, and their lengths; nothing is written unless the whole frame is valid and
// every text fits its array.
WireError DecodeReply(std::span<const std::uint8_t> frame, ReplyInfo& info,
                      const OutputArray& updatedToken = {}, const OutputArray& header = {},
                      const OutputArray& attributeList = {});

}  // namespace tokengate::rpc::wire
