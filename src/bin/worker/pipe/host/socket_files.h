// What the Linux pipes do in the file system, done so that a local user who
// got there first, or who swaps files while the worker works, cannot make
// the worker use their directory, serve on their socket, or change a file
// outside the directory.
//
// Everything below works through an open descriptor of the socket directory,
// never through a path that could be swapped after it was checked. Errors
// are plain texts for the pipe servers' creation-failure lines.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/host/unique_fd.h"
#include "common/error.h"

namespace halvorine {

// The socket directory's mode when the worker creates it, whatever the
// umask: everyone may reach the sockets in it (their own modes decide who
// may connect), nobody else may add, remove or rename entries.
inline constexpr mode_t kSocketDirectoryMode = 0755;

// Opens directory `path`, creating it with kSocketDirectoryMode when it is
// missing. Refused unless it is a directory (not a link) owned by the
// worker's user, writable by nobody else, in a parent that no other user can
// rename it out of (owned by root or the worker's user, and not writable by
// others unless sticky, as /tmp is).
Result<UniqueFd> open_socket_directory(const std::string& path);

// A path that reaches `name` inside the open directory `directory`, however
// the directory was renamed or replaced since it was opened.
std::string path_through(int directory, std::string_view name);

// Takes the lock that makes the worker the only server of pipe `name` on
// this machine: the file NAME.lock in `directory`, locked for as long as the
// returned descriptor lives. Fails while another process holds it.
Result<UniqueFd> lock_pipe_name(int directory, std::string_view name);

// Whether a server accepts connections on the socket `name` in `directory`
// (a connection is tried and closed at once; a full backlog counts as live).
bool server_listens(int directory, std::string_view name);

// A listening socket made in a private directory beside `name`, given
// `mode` and (when set) `owner` there, where nobody else can reach it, and
// then renamed over `name`: whatever was at `name` (a stale socket, a link)
// is replaced, never followed.
Result<UniqueFd> make_listening_socket(int directory, std::string_view name, mode_t mode,
                                       std::optional<uid_t> owner, int backlog);

}  // namespace halvorine
