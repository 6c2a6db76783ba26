#include "core/folder_owner.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace core = vez::core;
namespace fs = std::filesystem;

namespace {

// A stat line with the given command name and start time in field 22.
std::string stat_line(const std::string& comm, uint64_t start) {
  std::string line = "4242 (" + comm + ") S";
  for (int field = 4; field < 22; ++field) line += " " + std::to_string(field * 10);
  return line + " " + std::to_string(start) + " 3133440 385 18446744073709551615\n";
}

// A process that has ended and been reaped: its identity names nobody.
core::ProcessIdentity ended_process() {
  int ready[2], release[2];
  EXPECT_EQ(::pipe(ready), 0);
  EXPECT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(release[1]);  // so that the parent's close is the end of the pipe
    char c = 0;
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);
    ::_exit(0);
  }
  char c;
  EXPECT_EQ(::read(ready[0], &c, 1), 1);
  core::ProcessIdentity who = core::current_process_identity();
  who.pid = child;
  std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
  std::string line;
  std::getline(stat, line);
  who.start_ticks = core::start_ticks_from_stat(line).value_or(0);
  ::close(release[1]);
  ::waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
  return who;
}

void make_folder(const fs::path& folder, const std::string* marker) {
  fs::create_directories(folder);
  std::ofstream(folder / "libcopy.so") << "library bytes";
  if (marker != nullptr) std::ofstream(folder / core::kOwnerMarkerName) << *marker;
}

}  // namespace

TEST(FolderOwner, MarkerRoundTrip) {
  const core::ProcessIdentity me = core::current_process_identity();
  EXPECT_EQ(me.pid, ::getpid());
  EXPECT_NE(me.start_ticks, 0u);  // this process's own /proc entry
  EXPECT_NE(me.pid_namespace, 0u);
  const std::string text = core::owner_marker_text({123, 456, 789});
  EXPECT_EQ(text, "vez_api 123 456 789\n");
  ASSERT_TRUE(core::parse_owner_marker(text).has_value());
  EXPECT_EQ(*core::parse_owner_marker(text), (core::ProcessIdentity{123, 456, 789}));
  EXPECT_EQ(*core::parse_owner_marker("vez_api 7 0 0"), (core::ProcessIdentity{7, 0, 0}));  // no newline
}

TEST(FolderOwner, RejectsEveryOtherMarkerText) {
  for (const char* bad : {"", "vez_api", "vez_api ", "vez_api 1 2", "vez_api 1 2 ", "vez_api 0 1 2\n", "vez_api -1 1 2",
                          "vez_api +1 1 2", "vez_api 1  2 3", "vez_api 1 2 3 4", "vez_api 1 2 3\n\n", "vez_api 1 2 3x",
                          "Vez_api 1 2 3", " vez_api 1 2 3", "vez_api 2147483648 1 2",
                          "vez_api 1 99999999999999999999999 2", "vez_api 1\t2 3", "vez_api 1 02 0", "vez_api 01 2 3"}) {
    EXPECT_FALSE(core::parse_owner_marker(bad).has_value()) << bad;
  }
  EXPECT_TRUE(core::parse_owner_marker("vez_api 2147483647 18446744073709551615 1").has_value());
  EXPECT_TRUE(core::parse_owner_marker("vez_api 10 0 0").has_value());
}

TEST(FolderOwner, StartTimeOfAStatLine) {
  EXPECT_EQ(core::start_ticks_from_stat(stat_line("python3", 90807)), 90807u);
  // command names may hold spaces and parentheses; the last ')' ends them
  EXPECT_EQ(core::start_ticks_from_stat(stat_line("a) b (c) d", 77)), 77u);
  EXPECT_EQ(core::start_ticks_from_stat(stat_line("x", 18446744073709551615u)), 18446744073709551615u);
  EXPECT_FALSE(core::start_ticks_from_stat("4242 (cat) S 1 2 3").has_value());
  EXPECT_FALSE(core::start_ticks_from_stat("no parentheses at all").has_value());
  EXPECT_FALSE(core::start_ticks_from_stat("").has_value());
  EXPECT_FALSE(core::start_ticks_from_stat(stat_line("x", 5).replace(9, 1, "  ")).has_value());
}

TEST(FolderOwner, KnowsWhetherTheOwnerStillRuns) {
  const core::ProcessIdentity me = core::current_process_identity();
  EXPECT_EQ(core::owner_state(me), core::OwnerState::alive);
  core::ProcessIdentity earlier = me;  // an earlier process that had this id
  earlier.start_ticks = me.start_ticks - 1;
  EXPECT_EQ(core::owner_state(earlier), core::OwnerState::gone);
  EXPECT_EQ(core::owner_state(ended_process()), core::OwnerState::gone);
  core::ProcessIdentity elsewhere = me;  // another process-id namespace: not ours to judge
  elsewhere.pid_namespace = me.pid_namespace + 1;
  EXPECT_EQ(core::owner_state(elsewhere), core::OwnerState::unknown);
  elsewhere.pid_namespace = 0;
  EXPECT_EQ(core::owner_state(elsewhere), core::OwnerState::unknown);
  EXPECT_EQ(core::owner_state({0, 0, me.pid_namespace}), core::OwnerState::unknown);
}

TEST(FolderOwner, SweepRemovesOnlyFoldersOfEndedOwners) {
  const fs::path parent = fs::temp_directory_path() / ("folder_owner_test_" + std::to_string(::getpid()));
  fs::remove_all(parent);
  fs::create_directories(parent);
  const std::string gone = core::owner_marker_text(ended_process());
  const std::string alive = core::owner_marker_text(core::current_process_identity());
  const std::string garbled = "vez_api twelve";
  make_folder(parent / "tmp_gone", &gone);
  make_folder(parent / "tmp_alive", &alive);
  make_folder(parent / "tmp_unmarked", nullptr);
  make_folder(parent / "tmp_garbled", &garbled);
  // a link to a folder of an ended owner is not a folder of ours
  make_folder(parent / "elsewhere" / "target", &gone);
  fs::create_directory_symlink(parent / "elsewhere" / "target", parent / "tmp_link");
  // a plain file and a marker that is itself a directory
  std::ofstream(parent / "tmp_file") << gone;
  fs::create_directories(parent / "tmp_odd" / core::kOwnerMarkerName);

  EXPECT_EQ(core::remove_folders_of_gone_owners(parent.string()), 1u);
  EXPECT_FALSE(fs::exists(parent / "tmp_gone"));
  for (const char* kept : {"tmp_alive", "tmp_unmarked", "tmp_garbled", "tmp_link", "tmp_file", "tmp_odd",
                           "elsewhere/target/libcopy.so"}) {
    EXPECT_TRUE(fs::exists(fs::symlink_status(parent / kept))) << kept;
  }
  EXPECT_EQ(core::remove_folders_of_gone_owners(parent.string()), 0u);
  EXPECT_EQ(core::remove_folders_of_gone_owners((parent / "missing").string()), 0u);
  fs::remove_all(parent);
}

TEST(FolderOwner, WritesItsOwnMarkerOnce) {
  const fs::path folder = fs::temp_directory_path() / ("folder_owner_marker_" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  ASSERT_TRUE(core::write_owner_marker(folder.string()));
  std::ifstream in(folder / core::kOwnerMarkerName);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(core::parse_owner_marker(text), core::current_process_identity());
  EXPECT_FALSE(core::write_owner_marker(folder.string()));  // never overwrites
  EXPECT_FALSE(core::write_owner_marker((folder / "missing").string()));
  fs::remove_all(folder);
}
