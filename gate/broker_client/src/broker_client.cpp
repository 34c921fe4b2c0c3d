#include "tokengate/gate/broker_client.h"

#include <algorithm>
#include <memory>
#include <new>

#include "tokengate/common/text.h"
#include "tokengate/gate/rpc_status_message.h"

namespace tokengate::gate {

namespace {

std::u16string_view Slice(const char16_t* data, std::int32_t length, std::int32_t capacity) {
  // A length outside the area can only come from a faulty peer: read no further than the area.
  const auto n = std::clamp<std::int32_t>(length, 0, capacity - 1);
  return {data, static_cast<std::size_t>(n)};
}

std::int32_t Length(const std::u16string& s) {
  return static_cast<std::int32_t>(s.size());
}

// The code a call ends with when something other than an RPC exception escapes it.
std::uint32_t CodeOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const rpc::RpcException& e) {
    return e.code();
  } catch (const std::bad_alloc&) {
    return rpc::kStatusOutOfMemory;
  } catch (...) {
    return 1766;  // RPC_S_INTERNAL_ERROR
  }
}

}  // namespace

BrokerOutputs& ThreadBrokerOutputs() {
  thread_local const std::unique_ptr<BrokerOutputs> outputs = std::make_unique<BrokerOutputs>();
  return *outputs;
}

void BrokerOutputs::Clear() noexcept {
  updatedTokenLength = headerLength = attributeListLength = 0;
  updatedToken[0] = header[0] = attributeList[0] = u'\0';
}

std::u16string_view BrokerOutputs::UpdatedToken() const noexcept {
  return Slice(updatedToken.data(), updatedTokenLength, rpc::kUpdatedTokenCapacity);
}
std::u16string_view BrokerOutputs::Header() const noexcept {
  return Slice(header.data(), headerLength, rpc::kHeaderCapacity);
}
std::u16string_view BrokerOutputs::AttributeList() const noexcept {
  return Slice(attributeList.data(), attributeListLength, rpc::kAttributeListCapacity);
}

bool BrokerOutputs::SessionExpired() const noexcept {
  // The buffer is read as a NUL-terminated text: the marker counts whatever length came back.
  // A text longer than the marker is not the marker: the search for its end stops there.
  const std::u16string_view marker(rpc::kSessionExpired);
  std::size_t n = 0;
  while (n < updatedToken.size() && n <= marker.size() && updatedToken[n] != u'\0') {
    ++n;
  }
  return text::EqualsIgnoreAsciiCase(std::u16string_view(updatedToken.data(), n), marker);
}

std::int32_t BrokerClient::BrokerGetHeaderString(const BrokerRequest& request,
                                                 BrokerOutputs& out) const {
  out.Clear();
  try {
    if (binding_ == nullptr) {
      throw rpc::RpcException(rpc::kStatusInvalidBinding);
    }
    const auto result = binding_->GetHeaderString(
        Length(request.config), request.config.data(), Length(request.token), request.token.data(),
        Length(request.prefix), request.prefix.data(), request.tokenUpdateWindow,
        &out.updatedTokenLength, out.updatedToken.data(), &out.headerLength, out.header.data(),
        &out.attributeListLength, out.attributeList.data());
    return result == rpc::kResultFailure ? kBrokerFailed : kBrokerOk;
  } catch (...) {
    return kBrokerFailed;
  }
}

std::int32_t BrokerClient::BrokerGetHeaderStringWithIWA(const BrokerRequest& request,
                                                        std::intptr_t& accessTokenHolder,
                                                        BrokerOutputs& out) const {
  out.Clear();
  std::intptr_t result = rpc::kResultFailure;
  try {
    if (binding_ == nullptr) {
      throw rpc::RpcException(rpc::kStatusInvalidBinding);
    }
    result = binding_->GetHeaderStringWithIWA(
        Length(request.config), request.config.data(), Length(request.token), request.token.data(),
        Length(request.prefix), request.prefix.data(), request.tokenUpdateWindow, processId_,
        &out.updatedTokenLength, out.updatedToken.data(), &out.headerLength, out.header.data(),
        &out.attributeListLength, out.attributeList.data());
  } catch (...) {
    const std::uint32_t code = CodeOf(std::current_exception());
    log_.Report(EventType::Error, RpcStatusMessage(code));
    // The status carries the code itself; fault codes above 0x7FFFFFFF read as negative numbers.
    return static_cast<std::int32_t>(code);
  }
  if (result == rpc::kResultFailure) {
    log_.Report(EventType::Error, u"Could not obtain handle");
    return kBrokerFailed;
  }
  accessTokenHolder = result;
  return kBrokerHandle;
}

}  // namespace tokengate::gate
