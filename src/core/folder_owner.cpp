#include "core/folder_owner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>

namespace vez::core {

namespace {

constexpr std::string_view kMarkerPrefix = "vez_api ";
constexpr size_t kMarkerMaxBytes = 128;
constexpr size_t kStatMaxBytes = 4096;

// Up to `limit` bytes of a file opened relative to `dir_fd` (AT_FDCWD for
// a path); nullopt when it cannot be read.  Never follows a final symlink.
std::optional<std::string> read_small_file(int dir_fd, const char* name, size_t limit) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string out(limit, '\0');
  size_t done = 0;
  while (done < limit) {
    const ssize_t got = ::read(fd, out.data() + done, limit - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  ::close(fd);
  out.resize(done);
  return out;
}

// A decimal number without sign or leading '+' that fits in uint64_t;
// advances `text` past it.
std::optional<uint64_t> take_number(std::string_view& text) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    const auto digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
    ++i;
  }
  if (i == 0) return std::nullopt;
  text.remove_prefix(i);
  return value;
}

// take_number, also refusing leading zeros ("0" itself is fine): the form
// std::to_string writes.
std::optional<uint64_t> take_canonical_number(std::string_view& text) {
  if (text.size() >= 2 && text[0] == '0' && text[1] >= '0' && text[1] <= '9') return std::nullopt;
  return take_number(text);
}

bool take_char(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

std::optional<uint64_t> process_start_ticks(int64_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const std::optional<std::string> line = read_small_file(AT_FDCWD, path.c_str(), kStatMaxBytes);
  if (!line) return std::nullopt;
  return start_ticks_from_stat(*line);
}

uint64_t own_pid_namespace() {
  struct stat st {};
  if (::stat("/proc/self/ns/pid", &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_ino);
}

}  // namespace

ProcessIdentity current_process_identity() {
  ProcessIdentity me;
  me.pid = ::getpid();
  me.start_ticks = process_start_ticks(me.pid).value_or(0);
  me.pid_namespace = own_pid_namespace();
  return me;
}

std::string owner_marker_text(const ProcessIdentity& owner) {
  return std::string(kMarkerPrefix) + std::to_string(owner.pid) + " " + std::to_string(owner.start_ticks) + " " +
         std::to_string(owner.pid_namespace) + "\n";
}

std::optional<ProcessIdentity> parse_owner_marker(std::string_view text) {
  if (text.substr(0, kMarkerPrefix.size()) != kMarkerPrefix) return std::nullopt;
  text.remove_prefix(kMarkerPrefix.size());
  const std::optional<uint64_t> pid = take_canonical_number(text);
  if (!pid || *pid == 0 || *pid > static_cast<uint64_t>(INT_MAX) || !take_char(text, ' ')) return std::nullopt;
  const std::optional<uint64_t> start = take_canonical_number(text);
  if (!start || !take_char(text, ' ')) return std::nullopt;
  const std::optional<uint64_t> ns = take_canonical_number(text);
  if (!ns) return std::nullopt;
  take_char(text, '\n');
  if (!text.empty()) return std::nullopt;
  ProcessIdentity owner;
  owner.pid = static_cast<int64_t>(*pid);
  owner.start_ticks = *start;
  owner.pid_namespace = *ns;
  return owner;
}

std::optional<uint64_t> start_ticks_from_stat(std::string_view stat_line) {
  const size_t close = stat_line.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat_line.substr(close + 1);
  // Fields 3 onwards follow ") ", one space apart; the start time is field 22.
  for (int field = 3; field < 22; ++field) {
    if (!take_char(rest, ' ')) return std::nullopt;
    const size_t end = rest.find(' ');
    if (end == std::string_view::npos || end == 0) return std::nullopt;
    rest.remove_prefix(end);
  }
  if (!take_char(rest, ' ')) return std::nullopt;
  return take_number(rest);
}

OwnerState owner_state(const ProcessIdentity& owner) {
  if (owner.pid <= 0 || owner.pid > INT_MAX) return OwnerState::unknown;
  const uint64_t ns = own_pid_namespace();
  if (owner.pid_namespace == 0 || ns == 0 || owner.pid_namespace != ns) return OwnerState::unknown;
  if (::kill(static_cast<pid_t>(owner.pid), 0) != 0 && errno == ESRCH) return OwnerState::gone;
  if (owner.start_ticks != 0) {
    const std::optional<uint64_t> start = process_start_ticks(owner.pid);
    if (start && *start != owner.start_ticks) return OwnerState::gone;  // the id now belongs to another process
  }
  return OwnerState::alive;
}

bool write_owner_marker(const std::string& folder) {
  const std::string path = folder + "/" + kOwnerMarkerName;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const std::string text = owner_marker_text(current_process_identity());
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  ::close(fd);
  return done == text.size();
}

size_t remove_folders_of_gone_owners(const std::string& parent) {
  DIR* dir = ::opendir(parent.c_str());
  if (dir == nullptr) return 0;
  const uid_t me = ::geteuid();
  size_t removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
    const int folder = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) continue;
    struct stat st {};
    const bool mine = ::fstat(folder, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == me;
    const std::optional<std::string> text = mine ? read_small_file(folder, kOwnerMarkerName, kMarkerMaxBytes) : std::nullopt;
    ::close(folder);
    if (!text) continue;
    const std::optional<ProcessIdentity> owner = parse_owner_marker(*text);
    if (!owner || owner_state(*owner) != OwnerState::gone) continue;
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(parent) / std::string(name), ec);
    if (!ec) ++removed;
  }
  ::closedir(dir);
  return removed;
}

}  // namespace vez::core
