// The broker's properties-file reader on Windows. Any local process that can reach the broker
// names the file its call is decoded with, so the broker only reads a file that nobody but the
// administrators can have written, and nothing that could block it or is not a disk file:
//   - the path is a full path on a fixed local drive ("C:\..."): no UNC path (\\server\share),
//     no device or raw path (\\?\, \\.\), no alternate data stream, no DOS device name (NUL,
//     COM1, ...) as a component;
//   - the file is a regular disk file, not a directory, symbolic link or junction;
//   - its owner is SYSTEM, Administrators or the broker's own account (SYSTEM when it runs as
//     a service), and its access list grants write access to nobody else.
// The checks are made on the open handle the file is then read from, once, at most
// kMaxFileBytes + 1 bytes.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "tessera/tessera.h"

namespace tokengate::platform {

// Why `path` cannot name a properties file (a text to follow "<path>: "), or empty when it can
// be tried. Looks at the text only, and at the kind of drive it names.
std::string PropertiesPathProblem(std::wstring_view path);

// Why a file with this owner and access list may not be read (a text to follow "<path>: "), or
// empty. `dacl` null means a NULL access list (everyone has full access); `brokerAccount` may be
// null. `path` is only used in the advice of the message.
std::string PropertiesSecurityProblem(PSID owner, PACL dacl, PSID brokerAccount,
                                      const std::string& path);

class WindowsPropertiesFileSource final : public tessera::PropertiesFileSource {
 public:
  void Read(const std::string& path, std::string& text) const override;
};

}  // namespace tokengate::platform
