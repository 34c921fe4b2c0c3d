// Feeds arbitrary bytes to the broker frame decoders. Besides memory safety (checked by the
// sanitizers) it checks that the framing is canonical: whatever decodes encodes back to the very
// same bytes, and the decoded texts stay within their arrays.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tokengate/common/wire.h"

namespace wire = tokengate::rpc::wire;
namespace rpc = tokengate::rpc;

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

void FuzzRequest(const std::uint8_t* data, std::size_t size) {
  wire::Request request;
  if (wire::DecodeRequest({data, size}, request) != wire::WireError::kOk) {
    return;
  }
  wire::RequestIn in{.procedure = request.procedure,
                     .configLength = static_cast<std::int32_t>(request.config.size()),
                     .config = request.config.data(),
                     .tokenLength = static_cast<std::int32_t>(request.token.size()),
                     .token = request.token.data(),
                     .prefixLength = static_cast<std::int32_t>(request.prefix.size()),
                     .prefix = request.prefix.data(),
                     .tokenUpdateWindow = request.tokenUpdateWindow,
                     .childProcessId = request.childProcessId};
  std::vector<std::uint8_t> again;
  Check(wire::EncodeRequest(in, again) == wire::WireError::kOk);
  Check(again.size() == size && std::memcmp(again.data(), data, size) == 0);
}

void FuzzReply(const std::uint8_t* data, std::size_t size) {
  static std::vector<char16_t> token(rpc::kUpdatedTokenCapacity);
  static std::vector<char16_t> header(rpc::kHeaderCapacity);
  static std::vector<char16_t> attrs(rpc::kAttributeListCapacity);
  std::int32_t lengths[3] = {-1, -1, -1};
  wire::ReplyInfo info;
  if (wire::DecodeReply({data, size}, info, {&lengths[0], token.data(), rpc::kUpdatedTokenCapacity},
                        {&lengths[1], header.data(), rpc::kHeaderCapacity},
                        {&lengths[2], attrs.data(), rpc::kAttributeListCapacity}) !=
      wire::WireError::kOk) {
    return;
  }
  std::vector<std::uint8_t> again;
  if (info.kind == wire::FrameKind::kFault) {
    wire::EncodeFault(info.faultCode, again);
  } else {
    Check(lengths[0] >= 0 && lengths[0] < rpc::kUpdatedTokenCapacity && token[lengths[0]] == 0);
    Check(lengths[1] >= 0 && lengths[1] < rpc::kHeaderCapacity && header[lengths[1]] == 0);
    Check(lengths[2] >= 0 && lengths[2] < rpc::kAttributeListCapacity && attrs[lengths[2]] == 0);
    Check(wire::EncodeReply({.procedure = info.procedure,
                             .result = info.result,
                             .descriptorAttached = info.descriptorAttached,
                             .updatedToken = {token.data(), static_cast<std::size_t>(lengths[0])},
                             .header = {header.data(), static_cast<std::size_t>(lengths[1])},
                             .attributeList = {attrs.data(), static_cast<std::size_t>(lengths[2])}},
                            again) == wire::WireError::kOk);
  }
  Check(again.size() == size && std::memcmp(again.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wire::FrameHeader header;
  (void)wire::DecodeHeader({data, size}, header);
  FuzzRequest(data, size);
  FuzzReply(data, size);
  return 0;
}
