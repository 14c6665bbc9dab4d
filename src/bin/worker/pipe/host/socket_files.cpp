#include "bin/worker/pipe/host/socket_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace halvorine {
namespace {

Error refused(const std::string& path, std::string_view why) {
  return Error::message(fmt::format("socket directory {} refused: {}", path, why));
}

Error failed(std::string_view step, const std::string& what) {
  return Error::last_os().context(fmt::format("{} {}", step, what));
}

// A stale private directory from an interrupted start: its socket (if any)
// and the directory itself go.
void remove_private_directory(int directory, const std::string& private_name, std::string_view name) {
  UniqueFd stale(::openat(directory, private_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (stale) {
    ::unlinkat(stale.get(), std::string(name).c_str(), 0);
    ::unlinkat(directory, private_name.c_str(), AT_REMOVEDIR);
  } else if (errno == ENOTDIR || errno == ELOOP) {
    ::unlinkat(directory, private_name.c_str(), 0);
  }
}

bool connect_through(int directory, std::string_view name, int fd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = path_through(directory, name);
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
}

}  // namespace

std::string path_through(int directory, std::string_view name) {
  return fmt::format("/proc/self/fd/{}/{}", directory, name);
}

Result<UniqueFd> open_socket_directory(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  const std::string parent_path = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
  const std::string base = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return std::unexpected(refused(path, "not a directory name"));

  const uid_t self = ::geteuid();
  UniqueFd parent(::open(parent_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent) return std::unexpected(failed("open", parent_path));
  struct stat parent_info {};
  if (::fstat(parent.get(), &parent_info) != 0) return std::unexpected(failed("stat", parent_path));
  const bool parent_owner_trusted = parent_info.st_uid == 0 || parent_info.st_uid == self;
  const bool parent_shared = (parent_info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!parent_owner_trusted || (parent_shared && (parent_info.st_mode & S_ISVTX) == 0)) {
    return std::unexpected(refused(
        path, fmt::format("its parent {} lets others replace it (owner uid {}, mode {:04o})", parent_path,
                          parent_info.st_uid, parent_info.st_mode & 07777)));
  }

  // The mode given here is narrowed by the umask; the fixed mode is set below.
  const bool created = ::mkdirat(parent.get(), base.c_str(), 0700) == 0;
  if (!created && errno != EEXIST) return std::unexpected(failed("mkdir", path));
  UniqueFd directory(::openat(parent.get(), base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) {
    if (errno == ENOTDIR || errno == ELOOP) {
      return std::unexpected(refused(path, "not a directory (a link or another kind of file)"));
    }
    return std::unexpected(failed("open", path));
  }
  struct stat info {};
  if (::fstat(directory.get(), &info) != 0) return std::unexpected(failed("stat", path));
  if (info.st_uid != self) {
    return std::unexpected(
        refused(path, fmt::format("owned by uid {}, not by the worker's uid {}", info.st_uid, self)));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return std::unexpected(
        refused(path, fmt::format("writable by others (mode {:04o})", info.st_mode & 07777)));
  }
  if (created && ::fchmod(directory.get(), kSocketDirectoryMode) != 0) {
    return std::unexpected(failed("chmod", path));
  }
  return directory;
}

Result<UniqueFd> lock_pipe_name(int directory, std::string_view name) {
  const std::string lock_name = fmt::format("{}.lock", name);
  // No link followed, no FIFO waited on: only a regular file of ours is locked.
  UniqueFd lock(::openat(directory, lock_name.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!lock) return std::unexpected(failed("open", lock_name));
  struct stat info {};
  if (::fstat(lock.get(), &info) != 0) return std::unexpected(failed("stat", lock_name));
  if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    return std::unexpected(Error::message(fmt::format("{} is not a lock file of the worker", lock_name)));
  }
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return std::unexpected(Error::message(
          fmt::format("another worker is serving {} (it holds {})", name, lock_name)));
    }
    return std::unexpected(failed("lock", lock_name));
  }
  return lock;
}

bool server_listens(int directory, std::string_view name) {
  struct stat info {};
  const std::string entry(name);
  if (::fstatat(directory, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(info.st_mode)) {
    return false;
  }
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  return probe && connect_through(directory, name, probe.get());
}

Result<UniqueFd> make_listening_socket(int directory, std::string_view name, mode_t mode,
                                       std::optional<uid_t> owner, int backlog) {
  const std::string entry(name);
  const std::string private_name = fmt::format(".{}.new", name);
  remove_private_directory(directory, private_name, name);
  if (::mkdirat(directory, private_name.c_str(), 0700) != 0) return std::unexpected(failed("mkdir", private_name));
  UniqueFd workspace(::openat(directory, private_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // Whatever happens below, the private directory does not outlive this call.
  struct Cleanup {
    int directory;
    const std::string& private_name;
    std::string_view name;
    ~Cleanup() { remove_private_directory(directory, private_name, name); }
  } cleanup{directory, private_name, name};
  if (!workspace) return std::unexpected(failed("open", private_name));

  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return std::unexpected(failed("socket", entry));
  // The socket file is created with this mode (less the umask): never wider.
  if (::fchmod(socket.get(), mode) != 0) return std::unexpected(failed("chmod", entry));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string bind_path = path_through(workspace.get(), name);
  if (bind_path.size() >= sizeof address.sun_path) {
    return std::unexpected(Error::message(fmt::format("pipe name {} too long for a socket", name)));
  }
  std::memcpy(address.sun_path, bind_path.c_str(), bind_path.size() + 1);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::unexpected(failed("bind", entry));
  }
  // The exact mode and the owner, set on the file just bound, reached
  // through a descriptor of it: a link is opened as itself and refused.
  UniqueFd file(::openat(workspace.get(), entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!file) return std::unexpected(failed("open", entry));
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return std::unexpected(failed("stat", entry));
  if (!S_ISSOCK(info.st_mode)) {
    return std::unexpected(Error::message(fmt::format("{} changed under the worker", entry)));
  }
  if (::chmod(fmt::format("/proc/self/fd/{}", file.get()).c_str(), mode) != 0) {
    return std::unexpected(failed("chmod", entry));
  }
  if (owner && ::fchownat(file.get(), "", *owner, static_cast<gid_t>(-1), AT_EMPTY_PATH) != 0) {
    return std::unexpected(failed("chown", entry));
  }
  if (::listen(socket.get(), backlog) != 0) return std::unexpected(failed("listen", entry));
  if (::renameat(workspace.get(), entry.c_str(), directory, entry.c_str()) != 0) {
    return std::unexpected(failed("rename", entry));
  }
  return socket;
}

}  // namespace halvorine
