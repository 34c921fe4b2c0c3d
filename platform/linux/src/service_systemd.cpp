// The service manager stand-in: a systemd unit written, enabled, started, stopped and removed
// through systemctl.
#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// Characters systemd does not accept in a program path: control characters, quotes, backslash.
bool UnsafeInProgramPath(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F || c == '"' || c == '\'' || c == '\\';
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

// The program path as one quoted word of ExecStart=, with "%" doubled so that no specifier is
// expanded ("$" is not expanded in the program's own path). Characters systemd refuses in a
// program path never get here (CheckUnitDefinition refuses them); they are dropped.
std::string ExecWord(const std::string& path) {
  std::string out = "\"";
  for (const char c : path) {
    if (UnsafeInProgramPath(c)) {
      continue;
    }
    if (c == '%') {
      out.push_back('%');
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// A plain group name (letters, digits, "_", "-", ".", not starting with "-" or a digit-only
// name is a number) of at most 32 characters.
bool PlainGroupName(const std::string& name) {
  if (name.empty() || name.size() > 32 || name.front() == '-' || name.front() == '.') {
    return false;
  }
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) {
      return false;
    }
  }
  return true;
}

bool GroupExists(const std::string& name) {
  std::vector<char> buf(16384);
  group entry{};
  group* found = nullptr;
  if (name.find_first_not_of("0123456789") == std::string::npos) {
    if (name.size() > 9) {
      return false;
    }
    return ::getgrgid_r(static_cast<gid_t>(std::strtoul(name.c_str(), nullptr, 10)), &entry,
                        buf.data(), buf.size(), &found) == 0 &&
           found != nullptr;
  }
  return ::getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) == 0 &&
         found != nullptr;
}

std::string SocketPathOf(const UnitDefinition& unit) {
  return "/run/" + UnitValue(unit.runtimeDirectory) + "/" + UnitValue(unit.socketName);
}

}  // namespace

std::string InstallSocketGroup() {
  const char* env = std::getenv("TOKENGATE_SOCKET_GROUP");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string("www-data");
}

std::uint32_t CheckUnitDefinition(const UnitDefinition& unit) {
  if (unit.execStart.empty() || unit.execStart.front() != '/') {
    return kSvcErrBadProgramPath;
  }
  for (const char c : unit.execStart) {
    if (UnsafeInProgramPath(c)) {
      return kSvcErrBadProgramPath;
    }
  }
  if (!PlainGroupName(unit.socketGroup) || !GroupExists(unit.socketGroup)) {
    return kSvcErrBadSocketGroup;
  }
  return 0;
}

std::string RenderUnitFile(const UnitDefinition& unit) {
  const std::string name = UnitValue(unit.name);
  const std::string group = PlainGroupName(unit.socketGroup) ? unit.socketGroup : "root";
  std::string out;
  out += "# " + UnitValue(unit.displayName) + "\n";
  out += "# " + UnitValue(unit.description) + "\n";
  out += "#\n";
  out += "# Installed by `logon-broker -install` with " + name +
         ".socket, which owns the broker's socket: a\n";
  out += "# restart of this service keeps the socket and the connections waiting in it.\n";
  out += "# The broker runs as root without capabilities and with a read-only view of the\n";
  out += "# system; it reads the codec properties files and the Kerberos keytab, writes only\n";
  out += "# short-lived credential caches (/dev/shm, its private /tmp) and reaches the KDC for\n";
  out += "# IWA. Environment the broker reads (set it with `systemctl edit " + name + "`):\n";
  out +=
      "#   TOKENGATE_SOCKET_GROUP  group that may connect to the socket, the web server's; "
      "the\n";
  out += "#                           socket unit's SocketGroup= when the socket is passed\n";
  out +=
      "#   TOKENGATE_S4U_PROVIDER, TOKENGATE_KEYTAB, TOKENGATE_SERVICE_PRINCIPAL  the "
      "Kerberos logon\n";
  out += "[Unit]\n";
  out += "Description=" + UnitValue(unit.displayName) + "\n";
  out += "Requires=" + name + ".socket\n";
  out += "After=" + name + ".socket network.target\n";
  out += "\n[Service]\n";
  out += "Type=notify\n";
  out += "NotifyAccess=main\n";
  out += "ExecStart=" + ExecWord(unit.execStart) + "\n";
  out += "KillSignal=SIGTERM\n";
  out += "TimeoutStopSec=30\n";
  out += "Restart=on-failure\n";
  out += "RestartSec=1s\n";
  out += "Group=" + group + "\n";
  out += "Environment=TOKENGATE_SOCKET_GROUP=" + group + "\n";
  out += "RuntimeDirectory=" + UnitValue(unit.runtimeDirectory) + "\n";
  out += "RuntimeDirectoryMode=0750\n";
  out += "RuntimeDirectoryPreserve=yes\n";
  out += "UMask=0077\n";
  out += "LimitNOFILE=16384\n";
  out += "NoNewPrivileges=yes\n";
  out += "CapabilityBoundingSet=\n";
  out += "AmbientCapabilities=\n";
  out += "ProtectSystem=strict\n";
  out += "ReadWritePaths=-/dev/shm\n";
  out += "ProtectHome=yes\n";
  out += "PrivateTmp=yes\n";
  out += "PrivateDevices=yes\n";
  out += "DevicePolicy=closed\n";
  out += "ProtectKernelTunables=yes\n";
  out += "ProtectKernelModules=yes\n";
  out += "ProtectKernelLogs=yes\n";
  out += "ProtectControlGroups=yes\n";
  out += "ProtectClock=yes\n";
  out += "ProtectHostname=yes\n";
  out += "ProtectProc=invisible\n";
  out += "ProcSubset=pid\n";
  out += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
  out += "RestrictNamespaces=yes\n";
  out += "RestrictRealtime=yes\n";
  out += "RestrictSUIDSGID=yes\n";
  out += "LockPersonality=yes\n";
  out += "MemoryDenyWriteExecute=yes\n";
  out += "KeyringMode=private\n";
  out += "SystemCallArchitectures=native\n";
  out += "SystemCallFilter=@system-service\n";
  out += "SystemCallFilter=~@privileged @resources\n";
  out += "SystemCallErrorNumber=EPERM\n";
  out += "\n[Install]\n";
  out += "WantedBy=multi-user.target\n";
  out += "Also=" + name + ".socket\n";
  return out;
}

std::string RenderSocketUnitFile(const UnitDefinition& unit) {
  const std::string group = PlainGroupName(unit.socketGroup) ? unit.socketGroup : "root";
  std::string out;
  out += "# The socket of " + UnitValue(unit.displayName) + ", installed by\n";
  out += "# `logon-broker -install`. systemd holds it, so that the broker can be restarted or\n";
  out += "# upgraded without turning a call away: connections made meanwhile wait in it for the\n";
  out += "# next broker process. Only root and the group " + group + " may connect.\n";
  out += "[Unit]\n";
  out += "Description=" + UnitValue(unit.displayName) + " socket\n";
  out += "\n[Socket]\n";
  out += "ListenStream=" + SocketPathOf(unit) + "\n";
  out += "SocketUser=root\n";
  out += "SocketGroup=" + group + "\n";
  out += "SocketMode=0660\n";
  // Until the service first starts and gives the directory its group, others may look into
  // it; the socket's own mode keeps them from connecting.
  out += "DirectoryMode=0755\n";
  out += "Accept=no\n";
  out += "RemoveOnStop=yes\n";
  out += "\n[Install]\n";
  out += "WantedBy=sockets.target\n";
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

std::string SystemdUnits::SocketUnitPath(const std::string& name) const {
  std::string path = unitDirectory_;
  if (!path.empty() && path.back() != '/')
    path.push_back('/');
  return path + name + ".socket";
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
  if (const std::uint32_t err = CheckUnitDefinition(unit))
    return err;
  std::uint32_t err = WriteFileAtomically(SocketUnitPath(unit.name), RenderSocketUnitFile(unit));
  if (err == 0)
    err = WriteFileAtomically(UnitPath(unit.name), RenderUnitFile(unit));
  if (err == 0 && (Systemctl({"daemon-reload"}) != 0 ||
                   Systemctl({"enable", unit.name + ".socket", unit.name + ".service"}) != 0)) {
    err = kSvcErrSystemctlFailed;
  }
  if (err != 0) {
    ::unlink(UnitPath(unit.name).c_str());
    ::unlink(SocketUnitPath(unit.name).c_str());
    Systemctl({"daemon-reload"});
  }
  return err;
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
  // The socket first: while it listens, a connection would start the service again.
  Systemctl({"stop", name + ".socket", name + ".service"});
  Systemctl({"disable", name + ".socket", name + ".service"});
  if (::unlink(UnitPath(name).c_str()) != 0)
    return static_cast<std::uint32_t>(errno);
  ::unlink(SocketUnitPath(name).c_str());  // absent when installed by an older version
  Systemctl({"daemon-reload"});
  return 0;
}

}  // namespace tokengate::platform
