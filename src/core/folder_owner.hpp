// Temporary folders that know their owner.  A marker file inside a folder
// names the process that made it (process id, start time and process-id
// namespace), so that folders left behind by a process that ended without
// cleaning up (killed, crashed, os._exit) can be told apart from folders of
// live processes and removed by a later one.
//
// A folder is judged only when its marker parses and names a process of
// this machine's view (the same process-id namespace); anything else, a
// folder without a marker included, is left alone.  Callable from any
// thread; nothing here needs Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vez::core {

// Name of the marker file inside an owned folder.
inline constexpr char kOwnerMarkerName[] = ".vez_api_owner";

struct ProcessIdentity {
  int64_t pid = 0;
  uint64_t start_ticks = 0;  // start time in clock ticks after boot; 0: unknown
  uint64_t pid_namespace = 0;  // inode of the process-id namespace; 0: unknown

  bool operator==(const ProcessIdentity& o) const {
    return pid == o.pid && start_ticks == o.start_ticks && pid_namespace == o.pid_namespace;
  }
};

// The running process.
ProcessIdentity current_process_identity();

// Marker contents: "vez_api <pid> <start_ticks> <pid_namespace>\n".
std::string owner_marker_text(const ProcessIdentity& owner);

// The owner named by marker contents; nullopt for anything that is not
// exactly what owner_marker_text writes (a positive process id, decimal
// numbers without signs or leading zeros, one trailing newline at most).
std::optional<ProcessIdentity> parse_owner_marker(std::string_view text);

// Field 22 (start time) of a /proc/<pid>/stat line; the command name in
// field 2 may itself hold spaces and parentheses.
std::optional<uint64_t> start_ticks_from_stat(std::string_view stat_line);

enum class OwnerState { alive, gone, unknown };

// Whether the owner still runs: gone when no process has its id, or the
// process with its id started at another time (the id was reused); unknown
// for owners of another process-id namespace or when the system cannot tell.
OwnerState owner_state(const ProcessIdentity& owner);

// Writes the running process's marker into `folder`; false on failure
// (nothing is reported: an unmarked folder is merely never swept).
bool write_owner_marker(const std::string& folder);

// Removes the folders directly inside `parent` whose marker names a process
// that is gone: only real directories (not symbolic links) owned by this
// user.  Returns how many were removed; errors are skipped.
size_t remove_folders_of_gone_owners(const std::string& parent);

}  // namespace vez::core
