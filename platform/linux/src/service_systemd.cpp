// The service manager stand-in: a systemd unit written, enabled, started, stopped and removed
// through systemctl.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tokengate/platform/service_linux.h"
#include "tokengate/platform/unique_fd.h"

extern char** environ;

namespace tokengate::platform {
namespace {

// Removes characters that would end a line of the unit file or start a specifier.
std::string UnitValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\n' || c == '\r')
      continue;
    if (c == '%')
      out.push_back('%');  // "%%" is a literal percent sign in unit files
    out.push_back(c);
  }
  return out;
}

std::uint32_t WriteFileAtomically(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp";
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd)
    return static_cast<std::uint32_t>(errno);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      const int err = errno;
      ::unlink(tmp.c_str());
      return static_cast<std::uint32_t>(err);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0 ||
      ::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return static_cast<std::uint32_t>(err);
  }
  return 0;
}

}  // namespace

std::string RenderUnitFile(const UnitDefinition& unit) {
  std::string out;
  out += "# " + UnitValue(unit.displayName) + "\n";
  out += "# " + UnitValue(unit.description) + "\n";
  out += "#\n";
  out += "# Environment the broker reads (set them with `systemctl edit " + UnitValue(unit.name) +
         "`):\n";
  out +=
      "#   TOKENGATE_RUNTIME_DIR   directory of the broker's socket (default "
      "/run/TarvexWebAgent/)\n";
  out +=
      "#   TOKENGATE_SOCKET_GROUP  group that may connect to the socket, e.g. the web server's\n";
  out += "#                           group (default: the broker's own group)\n";
  out += "[Unit]\n";
  out += "Description=" + UnitValue(unit.displayName) + "\n";
  out += "\n[Service]\n";
  out += "Type=notify\n";
  out += "NotifyAccess=main\n";
  out += "ExecStart=" + UnitValue(unit.execStart) + "\n";
  out += "KillSignal=SIGTERM\n";
  out += "TimeoutStopSec=30\n";
  out += "\n[Install]\n";
  out += "WantedBy=multi-user.target\n";
  return out;
}

SystemdUnits::SystemdUnits(std::string unitDirectory, std::string runtimeMarker,
                           std::string systemctl)
    : unitDirectory_(std::move(unitDirectory)),
      runtimeMarker_(std::move(runtimeMarker)),
      systemctl_(std::move(systemctl)) {}

std::uint32_t SystemdUnits::CheckManager() const {
  struct stat st {};
  if (::stat(runtimeMarker_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return kSvcErrNoSystemd;
  return 0;
}

std::string SystemdUnits::UnitPath(const std::string& name) const {
  std::string path = unitDirectory_;
  if (!path.empty() && path.back() != '/')
    path.push_back('/');
  return path + name + ".service";
}

bool SystemdUnits::Exists(const std::string& name) const {
  return ::access(UnitPath(name).c_str(), F_OK) == 0;
}

int SystemdUnits::Systemctl(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> words{systemctl_};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0)
    return -1;
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int err = ::posix_spawnp(&pid, systemctl_.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.reset();
  if (err != 0)
    return -1;

  if (output != nullptr) {
    char buf[512];
    for (;;) {
      const ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      if (output->size() < 65536)
        output->append(buf, static_cast<std::size_t>(n));
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::uint32_t SystemdUnits::Install(const UnitDefinition& unit) const {
  if (Exists(unit.name))
    return kSvcErrExists;
  if (const std::uint32_t err = WriteFileAtomically(UnitPath(unit.name), RenderUnitFile(unit))) {
    return err;
  }
  if (Systemctl({"daemon-reload"}) != 0 || Systemctl({"enable", unit.name + ".service"}) != 0) {
    ::unlink(UnitPath(unit.name).c_str());
    Systemctl({"daemon-reload"});
    return kSvcErrSystemctlFailed;
  }
  return 0;
}

std::uint32_t SystemdUnits::Rewrite(const UnitDefinition& unit) const {
  if (!Exists(unit.name))
    return kSvcErrDoesNotExist;
  if (const std::uint32_t err = WriteFileAtomically(UnitPath(unit.name), RenderUnitFile(unit))) {
    return err;
  }
  return Systemctl({"daemon-reload"}) == 0 ? 0 : kSvcErrSystemctlFailed;
}

UnitState SystemdUnits::State(const std::string& name, std::uint32_t& error) const {
  std::string out;
  if (Systemctl({"show", "--property=ActiveState", "--value", name + ".service"}, &out) != 0) {
    error = kSvcErrSystemctlFailed;
    return UnitState::Unknown;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
    out.pop_back();
  error = 0;
  if (out == "active" || out == "reloading")
    return UnitState::Active;
  if (out == "activating")
    return UnitState::Activating;
  if (out == "deactivating")
    return UnitState::Deactivating;
  if (out == "failed")
    return UnitState::Failed;
  if (out == "inactive")
    return UnitState::Inactive;
  error = kSvcErrSystemctlFailed;
  return UnitState::Unknown;
}

std::uint32_t SystemdUnits::Start(const std::string& name) const {
  std::uint32_t err = 0;
  const UnitState state = State(name, err);
  if (err != 0)
    return err;
  if (state == UnitState::Active || state == UnitState::Activating)
    return kSvcErrAlreadyRunning;
  return Systemctl({"start", "--no-block", name + ".service"}) == 0 ? 0 : kSvcErrSystemctlFailed;
}

std::uint32_t SystemdUnits::Stop(const std::string& name) const {
  std::uint32_t err = 0;
  const UnitState state = State(name, err);
  if (err != 0)
    return err;
  if (state != UnitState::Active && state != UnitState::Activating)
    return kSvcErrNotActive;
  return Systemctl({"stop", "--no-block", name + ".service"}) == 0 ? 0 : kSvcErrSystemctlFailed;
}

std::uint32_t SystemdUnits::Remove(const std::string& name) const {
  if (!Exists(name))
    return kSvcErrDoesNotExist;
  Systemctl({"disable", name + ".service"});
  if (::unlink(UnitPath(name).c_str()) != 0)
    return static_cast<std::uint32_t>(errno);
  Systemctl({"daemon-reload"});
  return 0;
}

}  // namespace tokengate::platform
