// The service host's Linux facilities: syslog, systemd notify, stop signals, program path.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tokengate/platform/service_linux.h"
#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {

std::string ServiceErrorText(std::uint32_t code) {
  switch (code) {
    case 0:
      return "The operation completed successfully.";
    case kSvcErrAlreadyRunning:
      return "An instance of the service is already running.";
    case kSvcErrDoesNotExist:
      return "The specified service does not exist as an installed service.";
    case kSvcErrNotActive:
      return "The service has not been started.";
    case kSvcErrNotStartedByManager:
      return "The service process could not connect to the service controller (not started by "
             "systemd as a notify service: NOTIFY_SOCKET is not set).";
    case kSvcErrExists:
      return "The specified service already exists.";
    case kSvcErrNoSystemd:
      return "systemd is not running on this machine (/run/systemd/system is missing).";
    case kSvcErrSystemctlFailed:
      return "systemctl could not be run or reported a failure.";
    case kSvcErrBadSocketGroup:
      return "TOKENGATE_SOCKET_GROUP does not name an existing group (the web server's group, "
             "default www-data).";
    case kSvcErrBadProgramPath:
      return "The program's path cannot be written into a unit file.";
    default:
      break;
  }
  if (code > static_cast<std::uint32_t>(INT_MAX))
    return {};
  char buf[256];
  const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
  return text != nullptr ? std::string(text) : std::string();
}

void SystemLogOpen(const char* ident) {
  ::openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void SystemLogWrite(std::uint16_t eventType, std::uint16_t category, std::uint32_t eventId,
                    std::string_view utf8Text) noexcept {
  int priority = LOG_INFO;
  if (eventType == 1)
    priority = LOG_ERR;
  if (eventType == 2)
    priority = LOG_WARNING;
  ::syslog(priority, "[category=%u id=%u] %.*s", static_cast<unsigned>(category),
           static_cast<unsigned>(eventId), static_cast<int>(utf8Text.size()), utf8Text.data());
}

std::optional<std::string> NotifySocketPath() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0')
    return std::nullopt;
  return std::string(path);
}

std::uint32_t SendNotify(const std::string& socketPath, std::string_view state) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path)
    return ENAMETOOLONG;
  std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());
  if (socketPath[0] == '@') {
    addr.sun_path[0] = '\0';  // abstract namespace
  } else {
    len += 1;  // the terminating NUL of a path name
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd)
    return static_cast<std::uint32_t>(errno);
  if (::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&addr), len) < 0) {
    return static_cast<std::uint32_t>(errno);
  }
  return 0;
}

std::uint32_t RunServiceDispatcher(const std::function<void()>& serviceMain,
                                   const std::function<void()>& onStop) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigset_t previous;
  if (const int err = ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previous); err != 0) {
    return static_cast<std::uint32_t>(err);
  }
  UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
  UniqueFd finished(::eventfd(0, EFD_CLOEXEC));
  if (!signals || !finished) {
    const int err = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return static_cast<std::uint32_t>(err);
  }

  std::thread serviceThread([&] {
    serviceMain();
    const std::uint64_t one = 1;
    while (::write(finished.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  });

  for (;;) {
    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {finished.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      break;  // cannot happen with valid descriptors; wait for the service below
    }
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        onStop();
      }
    }
    if ((fds[1].revents & POLLIN) != 0)
      break;
  }
  serviceThread.join();
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return 0;
}

std::optional<std::string> OwnExecutablePath(std::uint32_t& error) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n < 0) {
    error = static_cast<std::uint32_t>(errno);
    return std::nullopt;
  }
  if (static_cast<std::size_t>(n) >= sizeof buf) {
    error = ENAMETOOLONG;
    return std::nullopt;
  }
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace tokengate::platform
