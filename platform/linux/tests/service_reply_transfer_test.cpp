// The IWA credential hand-over through the real socket runtime: the descriptor reaches the caller
// only when the caller's process is the one the call names.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tokengate/platform/broker_handle_transfer.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {
namespace {

namespace fs = std::filesystem;

// Answers the IWA procedure by handing over a memfd holding "credential".
class TransferringAuthenticator final : public rpc::IAuthenticator {
 public:
  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t, const char16_t*, std::int32_t, std::int32_t*,
                                char16_t*, std::int32_t*, char16_t*, std::int32_t*,
                                char16_t*) override {
    return -1;
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                       std::int32_t, const char16_t*, std::int32_t,
                                       std::int32_t childProcessId, std::int32_t* a, char16_t*,
                                       std::int32_t* b, char16_t*, std::int32_t* c,
                                       char16_t*) override {
    *a = *b = *c = 0;
    UniqueFd fd(::memfd_create("credential", MFD_CLOEXEC));
    if (!fd || ::write(fd.get(), "credential", 10) != 10)
      throw rpc::RpcException(1);
    const int value = fd.get();
    switch (TransferToCaller(std::move(fd), childProcessId)) {
      case ReplyTransfer::Attached:
        return value;
      case ReplyTransfer::CallerMismatch:
        throw rpc::RpcException(rpc::kFaultSysCallFailed);
      case ReplyTransfer::AttachFailed:
        break;
    }
    throw rpc::RpcException(2);
  }
};

TEST(ServiceReplyTransferTest, CredentialReachesOnlyTheNamedCaller) {
  const fs::path dir =
      fs::temp_directory_path() / ("reply-transfer-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ::setenv(kRuntimeDirEnv, (dir.string() + "/").c_str(), 1);
  TransferringAuthenticator impl;
  auto runtime = CreateUnixRpcServerRuntime();
  ASSERT_EQ(runtime->UseProtseqEp(u"ncalrpc", 4, u"TransferTest"), 0);
  ASSERT_EQ(runtime->RegisterIf(impl), 0);
  ASSERT_EQ(runtime->Listen(1, 4, true), 0);

  rpc::RpcStatus status = 0;
  auto client = BindToBroker(u"ncalrpc:[TransferTest]", &status);
  ASSERT_NE(client, nullptr);
  const std::u16string token = u"t";
  std::int32_t a = 0, b = 0, c = 0;
  std::u16string out(rpc::kHeaderCapacity, u'\0');
  const auto call = [&](std::int32_t pid) {
    return client->GetHeaderStringWithIWA(0, nullptr, 1, token.data(), 0, nullptr, -1, pid, &a,
                                          out.data(), &b, out.data(), &c, out.data());
  };

  const std::intptr_t fd = call(::getpid());
  ASSERT_GT(fd, 0);
  char buf[16] = {};
  EXPECT_EQ(::pread(static_cast<int>(fd), buf, sizeof buf, 0), 10);
  EXPECT_EQ(std::string(buf), "credential");
  ::close(static_cast<int>(fd));

  try {
    call(::getpid() + 1);
    ADD_FAILURE() << "a call naming another process got the credential";
  } catch (const rpc::RpcException& e) {
    EXPECT_EQ(e.code(), rpc::kFaultSysCallFailed);
  }

  client.reset();
  runtime->StopListening();
  runtime->WaitServerListen();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tokengate::platform
