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
  std::string name;         // unit name without ".service"
  std::string displayName;  // Description=
  std::string description;  // longer text, kept as a comment
  std::string execStart;    // full path of the program, no arguments
};

// The unit file for a notify-type service (no dependency on anything RPC-like: the broker's
// transport needs no other service). Documents the environment variables the broker reads.
std::string RenderUnitFile(const UnitDefinition& unit);

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
  bool Exists(const std::string& name) const;
  // Writes the unit file (refusing to overwrite: kSvcErrExists), reloads and enables it.
  std::uint32_t Install(const UnitDefinition& unit) const;
  // Rewrites the unit file of an installed unit.
  std::uint32_t Rewrite(const UnitDefinition& unit) const;
  std::uint32_t Start(const std::string& name) const;  // kSvcErrAlreadyRunning when active
  std::uint32_t Stop(const std::string& name) const;   // kSvcErrNotActive when not active
  UnitState State(const std::string& name, std::uint32_t& error) const;
  // Stops nothing: disables the unit, deletes its file and reloads.
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
