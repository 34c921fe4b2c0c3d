// The broker's properties-file reader on Linux. Any local process that can reach the broker
// names the file its call is decoded with, so the broker only reads a file that nobody but the
// administrator can have written, and never anything that could block it:
//   - the path is absolute;
//   - every directory on the way, from "/", is owned by root (or the broker's own account) and
//     not writable by group or others, unless it is sticky like /tmp (where nobody can replace
//     another user's entries). Symbolic links between directories are followed the way the
//     kernel follows them, and every directory they lead through is checked the same way;
//   - the file itself is not a symbolic link, is a regular file on a local disk file system
//     (not procfs, sysfs, a network or FUSE file system), is owned by root (or the broker's own
//     account) and is not writable by group or others.
// Every check is made on the open descriptors of the walk (openat from "/", then fstat and
// fstatfs), so a path changed half-way is never judged by one object and read from another.
// The file is opened only after its entry was seen to be a regular file (a device is never
// opened), with O_NOFOLLOW | O_NONBLOCK, and read once, at most kMaxFileBytes + 1 bytes.
#pragma once

#include <sys/types.h>

#include <string>

#include "tessera/tessera.h"

namespace tokengate::platform {

class StrictPropertiesFileSource final : public tessera::PropertiesFileSource {
 public:
  // `brokerUid`: the one account trusted besides root, the broker's own (root when it runs as
  // root).
  explicit StrictPropertiesFileSource(uid_t brokerUid) : brokerUid_(brokerUid) {}

  void Read(const std::string& path, std::string& text) const override;

 private:
  uid_t brokerUid_;
};

}  // namespace tokengate::platform
