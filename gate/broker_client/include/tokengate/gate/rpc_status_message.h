#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tokengate::gate {

// The event text for an RPC exception code; "default" for every code without its own text.
std::u16string_view RpcStatusMessage(std::uint32_t code) noexcept;

// Number of codes with their own text.
std::size_t RpcStatusMessageCount() noexcept;

}  // namespace tokengate::gate
