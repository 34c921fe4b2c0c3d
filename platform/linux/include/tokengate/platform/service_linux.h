// The service host's Linux facilities: syslog, the systemd notify protocol, the stop signals,
// systemd units driven through systemctl, the program's own path and error texts. Error codes
// returned here are errno values, the Windows service error codes listed below, or the
// codes of this file (application range, bit 29 set).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokengate::platform {

// Windows service error codes the service manager stand-in reports.
inline constexpr std::uint32_t kSvcErrAlreadyRunning = 1056;
inline constexpr std::uint32_t kSvcErrDoesNotExist = 1060;
inline constexpr std::uint32_t kSvcErrNotActive = 1062;
inline constexpr std::uint32_t kSvcErrNotStartedByManager = 1063;
inline constexpr std::uint32_t kSvcErrExists = 1073;
// systemd is not running on this machine.
inline constexpr std::uint32_t kSvcErrNoSystemd = 0x20000001;
// systemctl could not be run or reported a failure.
inline constexpr std::uint32_t kSvcErrSystemctlFailed = 0x20000002;
// The socket group given at install time (TOKENGATE_SOCKET_GROUP) names no group.
inline constexpr std::uint32_t kSvcErrBadSocketGroup = 0x20000003;
// The program's path cannot be written into a unit file (not absolute, or control characters).
inline constexpr std::uint32_t kSvcErrBadProgramPath = 0x20000004;

// Readable text for any of the codes above or an errno value; empty when there is none.
std::string ServiceErrorText(std::uint32_t code);

// --- system log -----------------------------------------------------------------------------
// Opens the log under `ident` (kept for the process's lifetime); call once before threads start.
void SystemLogOpen(const char* ident);
// One entry: priority from the event type (1 error, 2 warning, 4 information), the category and
// event id carried in front of the text as "[category=1000 id=1001] ". Thread-safe.
void SystemLogWrite(std::uint16_t eventType, std::uint16_t category, std::uint32_t eventId,
                    std::string_view utf8Text) noexcept;

// --- systemd notify protocol ------------------------------------------------------------------
// The notify socket named by $NOTIFY_SOCKET, or nullopt when the program was not started by
// systemd as a notify service.
std::optional<std::string> NotifySocketPath();
// Sends one datagram of "KEY=value" lines to `socketPath` (a path or "@abstract"); 0 or errno.
std::uint32_t SendNotify(const std::string& socketPath, std::string_view state);

// Runs `serviceMain` on a thread of its own and, on the calling thread, turns each SIGTERM or
// SIGINT into a call of `onStop`, until `serviceMain` has returned. The signals are blocked in
// the calling thread (and so in every thread started later) and read through a signalfd; no work
// is done in a signal handler. Returns 0, or an errno when the signals could not be set up.
std::uint32_t RunServiceDispatcher(const std::function<void()>& serviceMain,
                                   const std::function<void()>& onStop);

// --- the program ------------------------------------------------------------------------------
// Full path of the running program (/proc/self/exe); nullopt with `error` set on failure.
std::optional<std::string> OwnExecutablePath(std::uint32_t& error);

// --- systemd units ----------------------------------------------------------------------------
struct UnitDefinition {
  std::string name;         // unit name without ".service" / ".socket"
  std::string displayName;  // Description=
  std::string description;  // longer text, kept as a comment
  std::string execStart;    // full path of the program, no arguments
  // The web server's group: group of the socket and of the runtime directory.
  std::string socketGroup = "www-data";
  // The runtime directory under /run and the socket's name in it.
  std::string runtimeDirectory = "TarvexWebAgent";
  std::string socketName = "TarvexWebLogonBroker";
};

// The group TOKENGATE_SOCKET_GROUP names at install time, "www-data" when it is unset or empty.
std::string InstallSocketGroup();

// 0 when the unit can be written: an absolute program path without control characters, quotes
// or backslashes (systemd refuses them in a program path), and a
// socket group that is a plain group name or number of an existing group; otherwise
// kSvcErrBadProgramPath or kSvcErrBadSocketGroup.
std::uint32_t CheckUnitDefinition(const UnitDefinition& unit);

// The unit file for a notify-type service taking its socket from <name>.socket, hardened: no
// capabilities, a read-only view of the system, a private /tmp, only the address families and
// system calls a broker needs (no dependency on anything RPC-like: the broker's transport needs
// no other service). Documents the environment variables the broker reads.
std::string RenderUnitFile(const UnitDefinition& unit);

// The socket unit that owns the broker's socket (mode 0660, the socket group), so that a
// restart of the service keeps it and the connections waiting in it.
std::string RenderSocketUnitFile(const UnitDefinition& unit);

// Active state of a unit as systemd reports it.
enum class UnitState { Inactive, Activating, Active, Deactivating, Failed, Unknown };

// The units of one unit directory, driven through systemctl.
class SystemdUnits {
 public:
  // `runtimeMarker` is the directory whose presence says systemd is running.
  explicit SystemdUnits(std::string unitDirectory = "/etc/systemd/system",
                        std::string runtimeMarker = "/run/systemd/system",
                        std::string systemctl = "systemctl");

  // 0 when systemd runs here, else kSvcErrNoSystemd.
  std::uint32_t CheckManager() const;
  std::string UnitPath(const std::string& name) const;
  std::string SocketUnitPath(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // Writes the service and socket unit files (refusing to overwrite: kSvcErrExists; refusing a
  // definition CheckUnitDefinition refuses), reloads and enables both.
  std::uint32_t Install(const UnitDefinition& unit) const;
  // Rewrites the unit file of an installed unit.
  std::uint32_t Rewrite(const UnitDefinition& unit) const;
  std::uint32_t Start(const std::string& name) const;  // kSvcErrAlreadyRunning when active
  std::uint32_t Stop(const std::string& name) const;   // kSvcErrNotActive when not active
  UnitState State(const std::string& name, std::uint32_t& error) const;
  // Stops the socket unit (the service is stopped by the caller beforehand), disables both
  // units, deletes their files and reloads.
  std::uint32_t Remove(const std::string& name) const;

  // Runs systemctl with `args`; its exit status, or -1 when it could not be run. Standard output
  // goes to `output` when given, else is dropped.
  int Systemctl(const std::vector<std::string>& args, std::string* output = nullptr) const;

 private:
  std::string unitDirectory_;
  std::string runtimeMarker_;
  std::string systemctl_;
};

}  // namespace tokengate::platform
