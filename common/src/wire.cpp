// Encoding and decoding of broker interface frames. Byte order is fixed (little-endian) and
// written byte by byte, so the result is the same on every host.
#include "tokengate/common/wire.h"

#include <bit>
#include <cstring>

namespace tokengate::rpc::wire {
namespace {

void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}
void PutU64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}
std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t GetU64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) {
    v = (v << 8) | p[i];
  }
  return v;
}

// Appends to a buffer whose final size is known in advance.
class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& out, std::size_t size) : out_(out) {
    out_.resize(size);
  }
  void U16(std::uint16_t v) {
    PutU16(&out_[pos_], v);
    pos_ += 2;
  }
  void U32(std::uint32_t v) {
    PutU32(&out_[pos_], v);
    pos_ += 4;
  }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void U64(std::uint64_t v) {
    PutU64(&out_[pos_], v);
    pos_ += 8;
  }
  void Units(const char16_t* units, std::size_t count) {
    I32(static_cast<std::int32_t>(count));
    std::uint8_t* p = out_.data() + pos_;
    if constexpr (std::endian::native == std::endian::little) {
      if (count > 0) {
        std::memcpy(p, units, 2 * count);
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        PutU16(p + 2 * i, static_cast<std::uint16_t>(units[i]));
      }
    }
    pos_ += 2 * count;
  }
  void Header(FrameKind kind) {
    U32(kMagic);
    U16(kVersion);
    U16(static_cast<std::uint16_t>(kind));
    U32(static_cast<std::uint32_t>(out_.size() - kHeaderSize));
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t pos_ = 0;
};

// Reads from a span; every read checks the remaining size first.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t remaining() const { return bytes_.size() - pos_; }
  bool U32(std::uint32_t& v) {
    if (remaining() < 4) {
      return false;
    }
    v = GetU32(bytes_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool I32(std::int32_t& v) {
    std::uint32_t u = 0;
    if (!U32(u)) {
      return false;
    }
    v = static_cast<std::int32_t>(u);
    return true;
  }
  bool U64(std::uint64_t& v) {
    if (remaining() < 8) {
      return false;
    }
    v = GetU64(bytes_.data() + pos_);
    pos_ += 8;
    return true;
  }
  // Reads a length and checks it against [0, limit] and against the bytes left, without
  // copying; the units start at `*at`.
  WireError Text(std::int32_t limit, std::int32_t& length, const std::uint8_t** at) {
    if (!I32(length)) {
      return WireError::kTruncated;
    }
    if (length < 0 || length > limit) {
      return WireError::kBadLength;
    }
    const std::size_t bytes = 2 * static_cast<std::size_t>(length);
    if (remaining() < bytes) {
      return WireError::kTruncated;
    }
    *at = bytes_.data() + pos_;
    pos_ += bytes;
    return WireError::kOk;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

void CopyUnits(const std::uint8_t* from, std::int32_t count, char16_t* to) {
  if constexpr (std::endian::native == std::endian::little) {
    if (count > 0) {
      std::memcpy(to, from, 2 * static_cast<std::size_t>(count));
    }
  } else {
    for (std::int32_t i = 0; i < count; ++i) {
      to[i] = static_cast<char16_t>(GetU16(from + 2 * static_cast<std::size_t>(i)));
    }
  }
}

void AssignUnits(const std::uint8_t* from, std::int32_t count, std::u16string& to) {
  to.resize(static_cast<std::size_t>(count));
  CopyUnits(from, count, to.data());
}

bool ValidProcedure(std::uint32_t p) {
  return p == static_cast<std::uint32_t>(Procedure::GetHeaderString) ||
         p == static_cast<std::uint32_t>(Procedure::GetHeaderStringWithIWA);
}

std::size_t MaxBody(FrameKind kind) {
  switch (kind) {
    case FrameKind::kRequest:
      return kMaxRequestBody;
    case FrameKind::kReply:
      return kMaxReplyBody;
    case FrameKind::kFault:
      return kFaultBody;
  }
  return 0;
}

// Checks the header and that `frame` holds exactly one frame of one of the accepted kinds.
WireError CheckFrame(std::span<const std::uint8_t> frame, FrameHeader& header, FrameKind a,
                     FrameKind b) {
  if (const WireError e = DecodeHeader(frame, header); e != WireError::kOk) {
    return e;
  }
  if (header.kind != a && header.kind != b) {
    return WireError::kBadKind;
  }
  const std::size_t total = kHeaderSize + header.bodyLength;
  if (frame.size() < total) {
    return WireError::kTruncated;
  }
  if (frame.size() > total) {
    return WireError::kTrailingBytes;
  }
  return WireError::kOk;
}

bool TextOk(std::int32_t length, const char16_t* units, std::int32_t limit, WireError& error) {
  if (length < 0 || length > limit) {
    error = WireError::kBadLength;
    return false;
  }
  if (length > 0 && units == nullptr) {
    error = WireError::kNullPointer;
    return false;
  }
  return true;
}

}  // namespace

const char* Describe(WireError error) {
  switch (error) {
    case WireError::kOk:
      return "ok";
    case WireError::kTruncated:
      return "frame truncated";
    case WireError::kBadMagic:
      return "not a broker frame";
    case WireError::kBadVersion:
      return "unsupported frame version";
    case WireError::kBadKind:
      return "unexpected frame kind";
    case WireError::kTooLarge:
      return "frame too large";
    case WireError::kBadProcedure:
      return "procedure number out of range";
    case WireError::kBadLength:
      return "length out of range";
    case WireError::kNullPointer:
      return "text missing for a non-zero length";
    case WireError::kBadFlags:
      return "unknown reply flags";
    case WireError::kBadFault:
      return "fault without a code";
    case WireError::kTrailingBytes:
      return "bytes after the end of the frame";
  }
  return "unknown framing error";
}

std::uint32_t StatusFor(WireError error) {
  switch (error) {
    case WireError::kOk:
      return 0;
    case WireError::kBadProcedure:
      return kStatusProcNumOutOfRange;
    case WireError::kBadLength:
      return kStatusBadStubData;
    case WireError::kNullPointer:
      return kStatusNullRefPointer;
    default:
      return kStatusProtocolError;
  }
}

WireError DecodeHeader(std::span<const std::uint8_t> bytes, FrameHeader& header) {
  if (bytes.size() < kHeaderSize) {
    return WireError::kTruncated;
  }
  if (GetU32(bytes.data()) != kMagic) {
    return WireError::kBadMagic;
  }
  if (GetU16(bytes.data() + 4) != kVersion) {
    return WireError::kBadVersion;
  }
  const std::uint16_t kind = GetU16(bytes.data() + 6);
  if (kind < static_cast<std::uint16_t>(FrameKind::kRequest) ||
      kind > static_cast<std::uint16_t>(FrameKind::kFault)) {
    return WireError::kBadKind;
  }
  const std::uint32_t length = GetU32(bytes.data() + 8);
  if (length > MaxBody(static_cast<FrameKind>(kind))) {
    return WireError::kTooLarge;
  }
  header.kind = static_cast<FrameKind>(kind);
  header.bodyLength = length;
  return WireError::kOk;
}

WireError EncodeRequest(const RequestIn& in, std::vector<std::uint8_t>& out) {
  out.clear();
  if (!ValidProcedure(static_cast<std::uint32_t>(in.procedure))) {
    return WireError::kBadProcedure;
  }
  WireError error = WireError::kOk;
  if (!TextOk(in.configLength, in.config, kMaxConfigUnits, error) ||
      !TextOk(in.tokenLength, in.token, kMaxTokenUnits, error) ||
      !TextOk(in.prefixLength, in.prefix, kMaxPrefixUnits, error)) {
    return error;
  }
  const bool iwa = in.procedure == Procedure::GetHeaderStringWithIWA;
  const std::size_t body = 4 + 12 + 2 * static_cast<std::size_t>(in.configLength) +
                           2 * static_cast<std::size_t>(in.tokenLength) +
                           2 * static_cast<std::size_t>(in.prefixLength) + 4 + (iwa ? 4 : 0);
  Writer w(out, kHeaderSize + body);
  w.Header(FrameKind::kRequest);
  w.U32(static_cast<std::uint32_t>(in.procedure));
  w.Units(in.config, static_cast<std::size_t>(in.configLength));
  w.Units(in.token, static_cast<std::size_t>(in.tokenLength));
  w.Units(in.prefix, static_cast<std::size_t>(in.prefixLength));
  w.I32(in.tokenUpdateWindow);
  if (iwa) {
    w.I32(in.childProcessId);
  }
  return WireError::kOk;
}

WireError DecodeRequest(std::span<const std::uint8_t> frame, Request& out) {
  FrameHeader header;
  if (const WireError e = CheckFrame(frame, header, FrameKind::kRequest, FrameKind::kRequest);
      e != WireError::kOk) {
    return e;
  }
  Reader r(frame.subspan(kHeaderSize));
  std::uint32_t procedure = 0;
  if (!r.U32(procedure)) {
    return WireError::kTruncated;
  }
  if (!ValidProcedure(procedure)) {
    return WireError::kBadProcedure;
  }
  std::int32_t lengths[3] = {};
  const std::uint8_t* units[3] = {};
  const std::int32_t limits[3] = {kMaxConfigUnits, kMaxTokenUnits, kMaxPrefixUnits};
  for (int i = 0; i < 3; ++i) {
    if (const WireError e = r.Text(limits[i], lengths[i], &units[i]); e != WireError::kOk) {
      return e;
    }
  }
  std::int32_t window = 0;
  std::int32_t pid = 0;
  if (!r.I32(window)) {
    return WireError::kTruncated;
  }
  const bool iwa = procedure == static_cast<std::uint32_t>(Procedure::GetHeaderStringWithIWA);
  if (iwa && !r.I32(pid)) {
    return WireError::kTruncated;
  }
  if (r.remaining() != 0) {
    return WireError::kTrailingBytes;
  }
  out.procedure = static_cast<Procedure>(procedure);
  AssignUnits(units[0], lengths[0], out.config);
  AssignUnits(units[1], lengths[1], out.token);
  AssignUnits(units[2], lengths[2], out.prefix);
  out.tokenUpdateWindow = window;
  out.childProcessId = pid;
  return WireError::kOk;
}

WireError EncodeReply(const ReplyIn& in, std::vector<std::uint8_t>& out) {
  out.clear();
  if (!ValidProcedure(static_cast<std::uint32_t>(in.procedure))) {
    return WireError::kBadProcedure;
  }
  if (in.updatedToken.size() > static_cast<std::size_t>(kMaxUpdatedTokenUnits) ||
      in.header.size() > static_cast<std::size_t>(kMaxHeaderUnits) ||
      in.attributeList.size() > static_cast<std::size_t>(kMaxAttributeListUnits)) {
    return WireError::kBadLength;
  }
  const std::size_t body =
      4 + 8 + 4 + 12 + 2 * (in.updatedToken.size() + in.header.size() + in.attributeList.size());
  Writer w(out, kHeaderSize + body);
  w.Header(FrameKind::kReply);
  w.U32(static_cast<std::uint32_t>(in.procedure));
  w.U64(static_cast<std::uint64_t>(in.result));
  w.U32(in.descriptorAttached ? kReplyFlagDescriptor : 0);
  w.Units(in.updatedToken.data(), in.updatedToken.size());
  w.Units(in.header.data(), in.header.size());
  w.Units(in.attributeList.data(), in.attributeList.size());
  return WireError::kOk;
}

void EncodeFault(std::uint32_t code, std::vector<std::uint8_t>& out) {
  out.clear();
  Writer w(out, kHeaderSize + kFaultBody);
  w.Header(FrameKind::kFault);
  w.U32(code);
}

WireError DecodeReply(std::span<const std::uint8_t> frame, ReplyInfo& info,
                      const OutputArray& updatedToken, const OutputArray& header,
                      const OutputArray& attributeList) {
  FrameHeader fh;
  if (const WireError e = CheckFrame(frame, fh, FrameKind::kReply, FrameKind::kFault);
      e != WireError::kOk) {
    return e;
  }
  Reader r(frame.subspan(kHeaderSize));
  if (fh.kind == FrameKind::kFault) {
    std::uint32_t code = 0;
    if (!r.U32(code)) {
      return WireError::kTruncated;
    }
    if (code == 0) {
      return WireError::kBadFault;
    }
    info = ReplyInfo{};
    info.kind = FrameKind::kFault;
    info.faultCode = code;
    return WireError::kOk;
  }
  std::uint32_t procedure = 0;
  std::uint64_t result = 0;
  std::uint32_t flags = 0;
  if (!r.U32(procedure) || !r.U64(result) || !r.U32(flags)) {
    return WireError::kTruncated;
  }
  if (!ValidProcedure(procedure)) {
    return WireError::kBadProcedure;
  }
  if ((flags & ~kReplyFlagDescriptor) != 0) {
    return WireError::kBadFlags;
  }
  const OutputArray* outputs[3] = {&updatedToken, &header, &attributeList};
  const std::int32_t limits[3] = {kMaxUpdatedTokenUnits, kMaxHeaderUnits, kMaxAttributeListUnits};
  std::int32_t lengths[3] = {};
  const std::uint8_t* units[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (const WireError e = r.Text(limits[i], lengths[i], &units[i]); e != WireError::kOk) {
      return e;
    }
    // The caller's array must hold the text and its NUL.
    if (outputs[i]->units != nullptr && lengths[i] >= outputs[i]->capacity) {
      return WireError::kBadLength;
    }
  }
  if (r.remaining() != 0) {
    return WireError::kTrailingBytes;
  }
  for (int i = 0; i < 3; ++i) {
    if (outputs[i]->units != nullptr) {
      CopyUnits(units[i], lengths[i], outputs[i]->units);
      outputs[i]->units[lengths[i]] = u'\0';
    }
    if (outputs[i]->length != nullptr) {
      *outputs[i]->length = lengths[i];
    }
  }
  info = ReplyInfo{};
  info.kind = FrameKind::kReply;
  info.procedure = static_cast<Procedure>(procedure);
  info.result = static_cast<std::int64_t>(result);
  info.descriptorAttached = (flags & kReplyFlagDescriptor) != 0;
  return WireError::kOk;
}

}  // namespace tokengate::rpc::wire
