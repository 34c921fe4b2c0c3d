#include "tokengate/common/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tokengate::rpc::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Offsets inside a request frame built by MakeRequest (config "cfg", token "tok", prefix "X-").
constexpr std::size_t kConfigLenAt = kHeaderSize + 4;
constexpr std::size_t kTokenLenAt = kConfigLenAt + 4 + 2 * 3;
constexpr std::size_t kPrefixLenAt = kTokenLenAt + 4 + 2 * 3;

void PutI32(Bytes& b, std::size_t at, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) {
    b[at + i] = static_cast<std::uint8_t>(u >> (8 * i));
  }
}

Bytes MakeRequest(Procedure procedure = Procedure::GetHeaderStringWithIWA) {
  RequestIn in;
  in.procedure = procedure;
  in.configLength = 3;
  in.config = u"cfg";
  in.tokenLength = 3;
  in.token = u"tok";
  in.prefixLength = 2;
  in.prefix = u"X-";
  in.tokenUpdateWindow = -1;
  in.childProcessId = 4242;
  Bytes frame;
  EXPECT_EQ(EncodeRequest(in, frame), WireError::kOk);
  return frame;
}

TEST(WireRequest, RoundTripsBothProcedures) {
  const std::u16string token(kMaxTokenUnits, u'\xD83D');  // longest token, non-ASCII units
  for (const Procedure p : {Procedure::GetHeaderString, Procedure::GetHeaderStringWithIWA}) {
    RequestIn in;
    in.procedure = p;
    in.configLength = 4;
    in.config = u"a\0b\xFFFF";  // embedded NUL and high unit travel as they are
    in.tokenLength = kMaxTokenUnits;
    in.token = token.data();
    in.tokenUpdateWindow = 300;
    in.childProcessId = 77;
    Bytes frame;
    ASSERT_EQ(EncodeRequest(in, frame), WireError::kOk);
    Request out;
    ASSERT_EQ(DecodeRequest(frame, out), WireError::kOk);
    EXPECT_EQ(out.procedure, p);
    EXPECT_EQ(out.config, std::u16string(u"a\0b\xFFFF", 4));
    EXPECT_EQ(out.token, token);
    EXPECT_TRUE(out.prefix.empty());
    EXPECT_EQ(out.tokenUpdateWindow, 300);
    EXPECT_EQ(out.childProcessId, p == Procedure::GetHeaderStringWithIWA ? 77 : 0);
  }
}

TEST(WireRequest, EncoderRefusesBadInputs) {
  const std::u16string longToken(kMaxTokenUnits + 1, u'a');
  const std::u16string longConfig(kMaxConfigUnits + 1, u'a');
  const std::u16string longPrefix(kMaxPrefixUnits + 1, u'a');
  struct Case {
    const char* name;
    RequestIn in;
    WireError expected;
  };
  const Case cases[] = {
      {"negative config", {.configLength = -1, .config = u"x"}, WireError::kBadLength},
      {"negative token", {.tokenLength = -5, .token = u"x"}, WireError::kBadLength},
      {"negative prefix", {.prefixLength = INT32_MIN, .prefix = u"x"}, WireError::kBadLength},
      {"token over 4999",
       {.tokenLength = kMaxTokenUnits + 1, .token = longToken.data()},
       WireError::kBadLength},
      {"config over cap",
       {.configLength = kMaxConfigUnits + 1, .config = longConfig.data()},
       WireError::kBadLength},
      {"prefix over cap",
       {.prefixLength = kMaxPrefixUnits + 1, .prefix = longPrefix.data()},
       WireError::kBadLength},
      {"null token", {.tokenLength = 1, .token = nullptr}, WireError::kNullPointer},
      {"procedure 2", {.procedure = static_cast<Procedure>(2)}, WireError::kBadProcedure},
  };
  for (const Case& c : cases) {
    Bytes frame{1, 2, 3};
    EXPECT_EQ(EncodeRequest(c.in, frame), c.expected) << c.name;
    EXPECT_TRUE(frame.empty()) << c.name;
  }
  EXPECT_EQ(StatusFor(WireError::kBadLength), kStatusBadStubData);
  EXPECT_EQ(StatusFor(WireError::kBadProcedure), kStatusProcNumOutOfRange);
  EXPECT_EQ(StatusFor(WireError::kTrailingBytes), kStatusProtocolError);
}

TEST(WireRequest, DecoderRefusesMalformedFrames) {
  struct Case {
    const char* name;
    void (*mutate)(Bytes&);
    WireError expected;
  };
  const Case cases[] = {
      {"empty", [](Bytes& b) { b.clear(); }, WireError::kTruncated},
      {"header only", [](Bytes& b) { b.resize(kHeaderSize); }, WireError::kTruncated},
      {"last byte missing", [](Bytes& b) { b.pop_back(); }, WireError::kTruncated},
      {"trailing byte", [](Bytes& b) { b.push_back(0); }, WireError::kTrailingBytes},
      {"wrong magic", [](Bytes& b) { b[0] ^= 0xFF; }, WireError::kBadMagic},
      {"wrong version", [](Bytes& b) { b[4] = 2; }, WireError::kBadVersion},
      {"kind 0", [](Bytes& b) { b[6] = 0; }, WireError::kBadKind},
      {"reply kind", [](Bytes& b) { b[6] = 2; }, WireError::kBadKind},
      {"body over limit", [](Bytes& b) { PutI32(b, 8, 0x7FFFFFFF); }, WireError::kTooLarge},
      {"procedure 7", [](Bytes& b) { PutI32(b, kHeaderSize, 7); }, WireError::kBadProcedure},
      {"negative config", [](Bytes& b) { PutI32(b, kConfigLenAt, -1); }, WireError::kBadLength},
      {"negative token", [](Bytes& b) { PutI32(b, kTokenLenAt, -2); }, WireError::kBadLength},
      {"negative prefix", [](Bytes& b) { PutI32(b, kPrefixLenAt, INT32_MIN); },
       WireError::kBadLength},
      {"config over cap", [](Bytes& b) { PutI32(b, kConfigLenAt, kMaxConfigUnits + 1); },
       WireError::kBadLength},
      {"token over 4999", [](Bytes& b) { PutI32(b, kTokenLenAt, kMaxTokenUnits + 1); },
       WireError::kBadLength},
      {"prefix over cap", [](Bytes& b) { PutI32(b, kPrefixLenAt, kMaxPrefixUnits + 1); },
       WireError::kBadLength},
      {"token longer than frame", [](Bytes& b) { PutI32(b, kTokenLenAt, 1000); },
       WireError::kTruncated},
      // Procedure 0 carries no ChildProcessID: the IWA frame relabelled has 4 bytes too many.
      {"procedure 0 with pid", [](Bytes& b) { PutI32(b, kHeaderSize, 0); },
       WireError::kTrailingBytes},
  };
  for (const Case& c : cases) {
    Bytes frame = MakeRequest();
    c.mutate(frame);
    Request out;
    out.token = u"untouched";
    EXPECT_EQ(DecodeRequest(frame, out), c.expected) << c.name;
    EXPECT_EQ(out.token, u"untouched") << c.name;
  }
}

TEST(WireReply, RoundTripWritesTextAndNul) {
  const std::u16string header(kMaxHeaderUnits, u'h');
  ReplyIn in{.procedure = Procedure::GetHeaderStringWithIWA,
             .result = -1,
             .descriptorAttached = true,
             .updatedToken = u"SESSION_EXPIRED",
             .header = header,
             .attributeList = u""};
  Bytes frame;
  ASSERT_EQ(EncodeReply(in, frame), WireError::kOk);
  // Only the used units travel.
  EXPECT_EQ(frame.size(), kHeaderSize + 4 + 8 + 4 + 12 + 2 * (15 + kMaxHeaderUnits));

  std::vector<char16_t> token(kUpdatedTokenCapacity, u'?');
  std::vector<char16_t> head(kHeaderCapacity, u'?');
  std::vector<char16_t> attrs(kAttributeListCapacity, u'?');
  std::int32_t tokenLen = 99, headLen = 99, attrLen = 99;
  ReplyInfo info;
  ASSERT_EQ(DecodeReply(frame, info, {&tokenLen, token.data(), kUpdatedTokenCapacity},
                        {&headLen, head.data(), kHeaderCapacity},
                        {&attrLen, attrs.data(), kAttributeListCapacity}),
            WireError::kOk);
  EXPECT_EQ(info.kind, FrameKind::kReply);
  EXPECT_EQ(info.procedure, Procedure::GetHeaderStringWithIWA);
  EXPECT_EQ(info.result, -1);
  EXPECT_TRUE(info.descriptorAttached);
  EXPECT_EQ(tokenLen, 15);
  EXPECT_EQ(std::u16string(token.data()), u"SESSION_EXPIRED");
  EXPECT_EQ(headLen, kMaxHeaderUnits);
  EXPECT_EQ(head[kMaxHeaderUnits], u'\0');
  EXPECT_EQ(attrLen, 0);
  EXPECT_EQ(attrs[0], u'\0');
}

TEST(WireReply, FaultRoundTrip) {
  Bytes frame;
  EncodeFault(kFaultAccessDenied, frame);
  ReplyInfo info;
  ASSERT_EQ(DecodeReply(frame, info), WireError::kOk);
  EXPECT_EQ(info.kind, FrameKind::kFault);
  EXPECT_EQ(info.faultCode, kFaultAccessDenied);

  EncodeFault(0, frame);
  EXPECT_EQ(DecodeReply(frame, info), WireError::kBadFault);
}

TEST(WireReply, EncoderRefusesOversizedOutput) {
  const std::u16string token(kMaxUpdatedTokenUnits + 1, u't');
  Bytes frame;
  EXPECT_EQ(EncodeReply({.updatedToken = token}, frame), WireError::kBadLength);
  EXPECT_TRUE(frame.empty());
}

TEST(WireReply, DecoderRefusesMalformedFramesWithoutWriting) {
  // Layout: header, procedure, result, flags, then token length at kTokenAt.
  constexpr std::size_t kFlagsAt = kHeaderSize + 12;
  constexpr std::size_t kTokenAt = kFlagsAt + 4;
  constexpr std::size_t kHeaderAt = kTokenAt + 4 + 2 * 3;
  constexpr std::size_t kAttrsAt = kHeaderAt + 4 + 2 * 2;
  struct Case {
    const char* name;
    void (*mutate)(Bytes&);
    WireError expected;
  };
  const Case cases[] = {
      {"truncated", [](Bytes& b) { b.pop_back(); }, WireError::kTruncated},
      {"trailing", [](Bytes& b) { b.push_back(1); }, WireError::kTrailingBytes},
      {"wrong magic", [](Bytes& b) { b[3] = 0; }, WireError::kBadMagic},
      {"wrong version", [](Bytes& b) { b[5] = 1; }, WireError::kBadVersion},
      {"request kind", [](Bytes& b) { b[6] = 1; }, WireError::kBadKind},
      {"procedure 9", [](Bytes& b) { PutI32(b, kHeaderSize, 9); }, WireError::kBadProcedure},
      {"unknown flag", [](Bytes& b) { PutI32(b, kFlagsAt, 2); }, WireError::kBadFlags},
      {"negative token", [](Bytes& b) { PutI32(b, kTokenAt, -1); }, WireError::kBadLength},
      {"token over capacity", [](Bytes& b) { PutI32(b, kTokenAt, kMaxUpdatedTokenUnits + 1); },
       WireError::kBadLength},
      {"negative header", [](Bytes& b) { PutI32(b, kHeaderAt, -3); }, WireError::kBadLength},
      {"header over capacity", [](Bytes& b) { PutI32(b, kHeaderAt, kMaxHeaderUnits + 1); },
       WireError::kBadLength},
      {"negative attributes", [](Bytes& b) { PutI32(b, kAttrsAt, -1); }, WireError::kBadLength},
      {"attributes beyond frame", [](Bytes& b) { PutI32(b, kAttrsAt, 500); },
       WireError::kTruncated},
      {"fault with reply body", [](Bytes& b) { b[6] = 3; }, WireError::kTooLarge},
  };
  for (const Case& c : cases) {
    Bytes frame;
    ASSERT_EQ(EncodeReply({.procedure = Procedure::GetHeaderString,
                           .updatedToken = u"abc",
                           .header = u"h\n",
                           .attributeList = u"a"},
                          frame),
              WireError::kOk);
    c.mutate(frame);
    char16_t token[8] = u"keep";
    std::int32_t tokenLen = 4;
    ReplyInfo info;
    EXPECT_EQ(DecodeReply(frame, info, {&tokenLen, token, 8}), c.expected) << c.name;
    EXPECT_EQ(tokenLen, 4) << c.name;
    EXPECT_EQ(std::u16string(token), u"keep") << c.name;
  }
}

TEST(WireReply, TextLongerThanCallersArrayIsRefused) {
  Bytes frame;
  ASSERT_EQ(EncodeReply({.updatedToken = u"abcdef"}, frame), WireError::kOk);
  char16_t small[6] = {};  // room for 5 units and the NUL only
  std::int32_t len = 0;
  ReplyInfo info;
  EXPECT_EQ(DecodeReply(frame, info, {&len, small, 6}), WireError::kBadLength);
  EXPECT_EQ(len, 0);
}

}  // namespace
}  // namespace tokengate::rpc::wire
