// Test support: a program started as a child process (a `logon-broker -console`, say) and a wait
// for its Unix socket to accept connections. Linux only; used by tests and benchmarks.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tokengate::testing {

// True when something listens on the Unix socket `path`. A socket file left behind by a killed
// process does not count.
inline bool SocketAcceptsConnections(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Waits, bounded, until the socket accepts connections.
inline bool WaitUntilListening(const std::string& path,
                               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!SocketAcceptsConnections(path)) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return true;
}

// A child process with the parent's environment and its standard output sent to a file; stopped
// (and reaped) by Stop or at destruction.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Stop(SIGKILL); }

  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::string& stdoutPath = "/dev/null") {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) {
      argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
    }
    return rc == 0;
  }

  // Sends `signal` and waits for the process to end; returns its wait status (or -1).
  int Stop(int signal = SIGTERM) {
    if (pid_ <= 0) {
      return -1;
    }
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace tokengate::testing
