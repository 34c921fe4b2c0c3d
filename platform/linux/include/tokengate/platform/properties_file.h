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
// The directories are checked in order from "/": by name (lstat) when the path has no symbolic
// link or "..", which is safe because a directory that passed can only be changed by root or the
// broker's account, so its entries keep naming what was checked; otherwise by a walk on
// descriptors (openat from "/", fstat on each). The file's entry is looked at first, so that
// nothing but a regular file on a local file system is ever opened (a device never is); it is
// then opened with O_NOFOLLOW | O_NONBLOCK, checked again on the descriptor (fstat, fstatfs), and
// read from that descriptor once, at most kMaxFileBytes + 1 bytes.
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
