// The log as a hostile local user would meet it: the worker appends as root,
// so nothing at the log's folder or file path may make it block or write
// anywhere else.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "common/worker_log.h"
#include "support/log_files.h"

namespace halvorine {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using testing::append_to_log_file;
using testing::read_file;
constexpr uid_t kNobody = 65534;

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs the append on another thread so that a blocking open fails the test
// instead of hanging it; `unblock` releases a stuck open before giving up.
bool append_with_timeout(const fs::path& directory, const std::string& line,
                         const std::function<void()>& unblock) {
  auto result = std::async(std::launch::async, [&] { return append_to_log_file(directory, line); });
  if (result.wait_for(5s) != std::future_status::ready) {
    unblock();
    ADD_FAILURE() << "the log open blocked";
  }
  return result.get();
}

class LogFileSecurityTest : public testing::LogFolderTest {
 protected:
  void SetUp() override {
    LogFolderTest::SetUp();
    folder_ = root_ / "Halvorine";
    victim_ = root_ / "victim";
    std::ofstream(victim_) << "untouched";
  }

  fs::path folder_;
  fs::path victim_;  // a file the attacker wants root to write to
};

TEST_F(LogFileSecurityTest, FolderIsCreatedWithItsOwnModeWhateverTheUmask) {
  for (const mode_t umask_value : {mode_t{0}, mode_t{077}, mode_t{022}}) {
    fs::remove_all(folder_);
    const mode_t saved = ::umask(umask_value);
    const bool written = append_to_log_file(folder_, "line\n");
    ::umask(saved);
    EXPECT_TRUE(written) << "umask " << umask_value;
    EXPECT_EQ(mode_of(folder_), 0755u) << "umask " << umask_value;
    EXPECT_EQ(read_file(folder_ / kLogFileName), "line\n");
  }
}

// Refused, not repaired (it may hold anything): a folder others may write,
// another user's, a link to a good one (also named with a trailing slash).
TEST_F(LogFileSecurityTest, FolderThatIsNotOnlyOursIsRefused) {
  const fs::path elsewhere = root_ / "elsewhere";
  fs::create_directories(elsewhere);
  fs::permissions(elsewhere, fs::perms(0755));
  const struct {
    mode_t mode;  // 0: a link to `elsewhere`
    bool given_away;
  } cases[] = {{0777, false}, {0775, false}, {0757, false}, {01777, false}, {0755, true}, {0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << c.mode << (c.given_away ? " of another user" : ""));
    if (c.given_away && ::geteuid() != 0) continue;  // needs root to give it away
    fs::remove_all(folder_);
    if (c.mode == 0) {
      fs::create_directory_symlink(elsewhere, folder_);
      EXPECT_FALSE(append_to_log_file(folder_ / "", "line\n"));
    } else {
      ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(folder_.c_str(), c.mode), 0);
      if (c.given_away) {
        ASSERT_EQ(::chown(folder_.c_str(), kNobody, kNobody), 0);
      }
    }
    EXPECT_FALSE(append_to_log_file(folder_, "line\n"));
    EXPECT_FALSE(fs::exists(folder_ / kLogFileName) || fs::exists(elsewhere / kLogFileName));
    if (c.mode != 0) {
      EXPECT_EQ(mode_of(folder_), c.mode);
    }
  }
}

TEST_F(LogFileSecurityTest, SymlinkOrHardLinkAtTheLogPathIsNeverWrittenThrough) {
  ASSERT_TRUE(append_to_log_file(folder_, "first\n"));
  fs::remove(folder_ / kLogFileName);
  fs::create_symlink(victim_, folder_ / kLogFileName);
  EXPECT_FALSE(append_to_log_file(folder_, "via symlink\n"));
  fs::remove(folder_ / kLogFileName);
  fs::create_hard_link(victim_, folder_ / kLogFileName);
  EXPECT_FALSE(append_to_log_file(folder_, "via hard link\n"));
  EXPECT_EQ(read_file(victim_), "untouched");
}

TEST_F(LogFileSecurityTest, FileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  ASSERT_TRUE(append_to_log_file(folder_, "first\n"));
  ASSERT_EQ(::chown((folder_ / kLogFileName).c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(append_to_log_file(folder_, "second\n"));
  EXPECT_EQ(read_file(folder_ / kLogFileName), "first\n");
}

TEST_F(LogFileSecurityTest, FifoAtTheLogPathNeverBlocksAndIsNeverWritten) {
  fs::create_directories(folder_);
  fs::permissions(folder_, fs::perms(0755));
  const fs::path fifo = folder_ / kLogFileName;
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const auto release = [&] { ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK)); };

  // Nobody reading: an ordinary open would wait for a reader for good.
  EXPECT_FALSE(append_with_timeout(folder_, "no reader\n", release));

  // Someone reading: the open succeeds, and the file is still refused.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_FALSE(append_with_timeout(folder_, "with reader\n", release));
  char byte = 0;
  EXPECT_LE(::read(reader, &byte, 1), 0);  // nothing arrived
  ::close(reader);
}

TEST_F(LogFileSecurityTest, LinkSwappedInDuringAppendsIsNeverFollowed) {
  ASSERT_TRUE(append_to_log_file(folder_, "first\n"));
  const fs::path log = folder_ / kLogFileName;
  const fs::path staged = folder_ / "staged-link";
  std::atomic<bool> done{false};
  // The swapper stands for a process that could write into the folder; the
  // folder check keeps such processes out, this checks the open on its own.
  std::thread swapper([&] {
    while (!done) {
      std::error_code ignored;
      fs::create_symlink(victim_, staged, ignored);
      fs::rename(staged, log, ignored);  // atomically replaces the log with a link
      fs::remove(log, ignored);
    }
  });
  for (int i = 0; i < 500; ++i) append_to_log_file(folder_, "racing\n");
  done = true;
  swapper.join();
  EXPECT_EQ(read_file(victim_), "untouched");
}

}  // namespace
}  // namespace halvorine
