// The broker's properties-file reader on Linux (see properties_file.h), and the codec's checking
// source built on it.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tokengate/platform/properties_file.h"
#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {
namespace {

using tessera::AgentConfiguration;
using tessera::ConfigurationException;
using tessera::FileNotFoundException;

constexpr std::size_t kMaxPathBytes = 4096;  // PATH_MAX
constexpr int kMaxSymlinks = 40;             // as many as the kernel follows in one lookup

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode))
    return "a directory";
  if (S_ISFIFO(mode))
    return "a FIFO";
  if (S_ISCHR(mode))
    return "a character device";
  if (S_ISBLK(mode))
    return "a block device";
  if (S_ISSOCK(mode))
    return "a socket";
  return "not a plain file";
}

// File systems that hold ordinary files on a local disk or in memory. Everything else (procfs,
// sysfs and the other kernel interfaces, network and FUSE file systems, which can answer
// slowly or never) is refused.
bool IsLocalFileSystem(std::uint32_t type) {
  switch (type) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case REISERFS_SUPER_MAGIC:
    case NILFS_SUPER_MAGIC:
    case 0x3153464aU:  // jfs
    case 0x2fc12fc1U:  // zfs
    case 0xca451a4eU:  // bcachefs
    case TMPFS_MAGIC:  // also devtmpfs, whose devices are refused as not regular
    case RAMFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:  // container images
    case SQUASHFS_MAGIC:
    case EROFS_SUPER_MAGIC_V1:
    case CRAMFS_MAGIC:
      return true;
    default:
      return false;
  }
}

std::string FileSystemName(std::uint32_t type) {
  switch (type) {
    case PROC_SUPER_MAGIC:
      return "procfs";
    case SYSFS_MAGIC:
      return "sysfs";
    case DEBUGFS_MAGIC:
      return "debugfs";
    case TRACEFS_MAGIC:
      return "tracefs";
    case SECURITYFS_MAGIC:
      return "securityfs";
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
      return "cgroup";
    case DEVPTS_SUPER_MAGIC:
      return "devpts";
    case BPF_FS_MAGIC:
      return "bpf";
    case EFIVARFS_MAGIC:
      return "efivarfs";
    case PSTOREFS_MAGIC:
      return "pstore";
    case HUGETLBFS_MAGIC:
      return "hugetlbfs";
    case FUSE_SUPER_MAGIC:
      return "FUSE";
    case NFS_SUPER_MAGIC:
      return "NFS";
    case SMB_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
      return "SMB";
    case V9FS_MAGIC:
      return "9p";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "type 0x%x", static_cast<unsigned>(type));
      return text;
    }
  }
}

class Checker {
 public:
  Checker(const std::string& path, uid_t brokerUid) : path_(path), brokerUid_(brokerUid) {}

  [[noreturn]] void Refuse(const std::string& why) const {
    throw ConfigurationException(path_ + ": " + why);
  }

  // A failed lookup or open: a missing file keeps the platform's own wording.
  [[noreturn]] void Failed(int error) const {
    if (error == ENOENT || error == ENOTDIR)
      throw FileNotFoundException(ErrorText(error));
    if (error == ELOOP)
      Refuse("is a symbolic link; name the file it points to.");
    Refuse("cannot be opened (" + ErrorText(error) + ").");
  }

  void Directory(const struct stat& st, const std::string& dir) const {
    if (!Trusted(st.st_uid)) {
      Refuse("directory " + dir + " is owned by uid " + std::to_string(st.st_uid) +
             "; it must be owned by " + Owners() + " (chown root " + dir + ").");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      Refuse("directory " + dir + " must not be writable by group or others (mode " +
             Mode(st.st_mode) + "); chmod go-w " + dir + ".");
    }
  }

  void File(const struct stat& st) const {
    if (S_ISLNK(st.st_mode))
      Refuse("is a symbolic link; name the file it points to.");
    if (!S_ISREG(st.st_mode))
      Refuse(std::string("is not a regular file (it is ") + KindOf(st.st_mode) + ").");
    if (!Trusted(st.st_uid)) {
      Refuse("must be owned by " + Owners() + " (owner is uid " + std::to_string(st.st_uid) +
             "); chown root it.");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      Refuse("must not be writable by group or others (mode " + Mode(st.st_mode) +
             "); chmod go-w it.");
    }
  }

  // `result` is what fstatfs or statfs returned for `fs`.
  void FileSystem(int result, const struct statfs& fs) const {
    if (result != 0)
      Refuse("cannot be opened (" + ErrorText(errno) + ").");
    // The magic numbers are 32 bits wide; f_type is a signed word.
    const auto type = static_cast<std::uint32_t>(fs.f_type);
    if (!IsLocalFileSystem(type)) {
      Refuse("is on a " + FileSystemName(type) +
             " file system, not on a local disk; keep it on a local file system, e.g. under "
             "/etc/tokengate/conf/.");
    }
  }

 private:
  bool Trusted(uid_t uid) const { return uid == 0 || uid == brokerUid_; }
  std::string Owners() const {
    return brokerUid_ == 0 ? std::string("root")
                           : "root or uid " + std::to_string(brokerUid_) + " (the broker's own)";
  }

  const std::string& path_;
  uid_t brokerUid_;
};

// Pushes the components of `path` onto `pending` so that the first one is on top.
void PushComponents(std::string_view path, std::vector<std::string>& pending) {
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    if (end > begin)
      pending.emplace_back(path.substr(begin, end - begin));
    if (slash == std::string_view::npos)
      break;
    end = slash;
  }
}

void Descend(std::string& where, const std::string& component) {
  if (component == "..") {
    const std::size_t slash = where.rfind('/');
    where.resize(slash == 0 ? 1 : slash);
    return;
  }
  if (where.back() != '/')
    where.push_back('/');
  where.append(component);
}

}  // namespace

namespace {

// Checks the directories of `path` before `lastSlash` by name, from "/", with one lstat each, in
// order. Once a directory has passed, only root (or the broker's account) can change what its
// entries are: it is theirs and nobody else may write it, or it is sticky and nobody may
// replace an entry of another owner. So every name checked goes on naming what was checked, the
// open that follows resolves to the same directories, and no descriptor per directory is
// needed. False (nothing refused yet) when the path goes through a symbolic link or "..", which
// the walk by descriptors resolves. `where` ends as the directory's path.
bool CheckDirectoriesByName(const Checker& check, const std::string& path, std::size_t lastSlash,
                            std::string& where, dev_t& device) {
  struct stat st {};
  if (::lstat("/", &st) != 0)
    check.Failed(errno);
  check.Directory(st, "/");
  device = st.st_dev;
  where.clear();
  std::size_t begin = 1;
  while (begin < lastSlash) {
    const std::size_t end = std::min(path.find('/', begin), lastSlash);
    const std::string_view component(path.data() + begin, end - begin);
    begin = end + 1;
    if (component.empty() || component == ".")
      continue;
    if (component == "..")
      return false;
    where.push_back('/');
    where.append(component);
    if (::lstat(where.c_str(), &st) != 0)
      check.Failed(errno);
    if (S_ISLNK(st.st_mode))
      return false;
    if (!S_ISDIR(st.st_mode))
      check.Failed(ENOTDIR);
    check.Directory(st, where);
    device = st.st_dev;
  }
  if (where.empty())
    where = "/";
  return true;
}

// The directory holding the file, reached from "/" by openat on descriptors, each checked with
// fstat. A symbolic link between directories is followed where the kernel would follow it (only
// someone who may write the directory holding it could have made it), and every directory it
// leads through is checked the same way.
UniqueFd WalkByDescriptors(const Checker& check, const std::string& path, std::size_t lastSlash,
                           dev_t& device) {
  UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!dir || ::fstat(dir.get(), &st) != 0)
    check.Failed(errno);
  check.Directory(st, "/");
  const dev_t rootDevice = st.st_dev;
  device = rootDevice;
  std::string where = "/";
  std::vector<std::string> pending;
  PushComponents(std::string_view(path).substr(0, lastSlash), pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string component = std::move(pending.back());
    pending.pop_back();
    if (component == ".")
      continue;
    UniqueFd next(::openat(dir.get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next || ::fstat(next.get(), &st) != 0)
      check.Failed(errno);
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxSymlinks)
        check.Refuse("has too many symbolic links on its way.");
      char target[kMaxPathBytes];
      const ssize_t n = ::readlinkat(next.get(), "", target, sizeof target);
      if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
        check.Failed(n < 0 ? errno : ENAMETOOLONG);
      if (target[0] == '/') {
        dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));  // checked above
        if (!dir)
          check.Failed(errno);
        where = "/";
        device = rootDevice;
      }
      PushComponents(std::string_view(target, static_cast<std::size_t>(n)), pending);
      continue;
    }
    if (!S_ISDIR(st.st_mode))
      check.Failed(ENOTDIR);
    Descend(where, component);
    check.Directory(st, where);
    device = st.st_dev;
    dir = std::move(next);
  }
  return dir;
}

}  // namespace

void StrictPropertiesFileSource::Read(const std::string& path, std::string& text) const {
  const Checker check(path, brokerUid_);
  if (path.empty() || path.front() != '/')
    check.Refuse("must be an absolute path.");
  if (path.find('\0') != std::string::npos)
    check.Refuse("holds a NUL character.");
  if (path.size() > kMaxPathBytes)
    check.Refuse("is longer than " + std::to_string(kMaxPathBytes) + " bytes.");
  const std::size_t lastSlash = path.rfind('/');
  const std::string name = path.substr(lastSlash + 1);
  if (name.empty() || name == "." || name == "..")
    check.Refuse("is not a regular file (it is a directory).");

  // The directories: by name in the common case, else by descriptors; then the file either by
  // its full path or relative to the directory's descriptor.
  std::string directory;
  UniqueFd dir;
  dev_t directoryDevice = 0;  // the file system of the directory holding the file
  if (!CheckDirectoriesByName(check, path, lastSlash, directory, directoryDevice))
    dir = WalkByDescriptors(check, path, lastSlash, directoryDevice);
  const int at = dir ? dir.get() : AT_FDCWD;
  const char* entry = dir ? name.c_str() : path.c_str();

  // The file: its entry first, so that nothing but a regular file on a local file system is
  // ever opened (opening a device or a kernel file can have effects of its own), then the same
  // checks on the open descriptor, which is what is read.
  struct stat entryStat {};
  if (::fstatat(at, entry, &entryStat, AT_SYMLINK_NOFOLLOW) != 0)
    check.Failed(errno);
  check.File(entryStat);
  struct statfs fs {};
  check.FileSystem(dir ? ::fstatfs(dir.get(), &fs) : ::statfs(directory.c_str(), &fs), fs);
  UniqueFd fd(::openat(at, entry, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0)
    check.Failed(errno);
  check.File(st);
  // The file system is asked again only when what was opened is not the entry checked above on
  // the directory's own file system: the same file there needs no second look.
  if (st.st_dev != entryStat.st_dev || st.st_ino != entryStat.st_ino ||
      st.st_dev != directoryDevice)
    check.FileSystem(::fstatfs(fd.get(), &fs), fs);

  constexpr std::size_t kMax = AgentConfiguration::kMaxFileBytes;
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMax)
    check.Refuse("is larger than " + std::to_string(kMax) + " bytes.");
  // One byte more than its size: a file that grew meanwhile is read on, up to the limit.
  text.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      check.Refuse("cannot be read (" + ErrorText(errno) + ").");
    }
    got += static_cast<std::size_t>(n);
    // A regular file reads short only at its end.
    if (n == 0 || got < text.size() || text.size() > kMax)
      break;
    text.resize(std::min(text.size() * 2, kMax + 1));
  }
  text.resize(got);
  if (got > kMax)
    check.Refuse("is larger than " + std::to_string(kMax) + " bytes.");
}

}  // namespace tokengate::platform

namespace tessera {

const PropertiesFileSource& CheckedPropertiesFileSource() {
  static const tokengate::platform::StrictPropertiesFileSource source(::geteuid());
  return source;
}

}  // namespace tessera
