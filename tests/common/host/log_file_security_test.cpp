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

namespace halvorine {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint64_t kNoRotation = UINT64_MAX;

// One line through a writer of its own, as the worker's first line goes.
bool append_to_log_file(const fs::path& directory, std::string_view line, std::uint64_t rotate_at) {
  SystemClock clock;
  return LogFileWriter(directory, rotate_at, clock).append(line).has_value();
}
constexpr uid_t kNobody = 65534;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Runs the append on another thread so that a blocking open fails the test
// instead of hanging it; `unblock` releases a stuck open before giving up.
bool append_with_timeout(const fs::path& directory, const std::string& line,
                         const std::function<void()>& unblock) {
  auto result = std::async(std::launch::async, [&] { return append_to_log_file(directory, line, kNoRotation); });
  if (result.wait_for(5s) != std::future_status::ready) {
    unblock();
    ADD_FAILURE() << "the log open blocked";
  }
  return result.get();
}

class LogFileSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("halvorine-log-security-" + std::to_string(::getpid()) + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root_);
    folder_ = root_ / "Halvorine";
    victim_ = root_ / "victim";
    std::ofstream(victim_) << "untouched";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path root_;
  fs::path folder_;
  fs::path victim_;  // a file the attacker wants root to write to
};

TEST_F(LogFileSecurityTest, FolderIsCreatedWithItsOwnModeWhateverTheUmask) {
  for (const mode_t umask_value : {mode_t{0}, mode_t{077}, mode_t{022}}) {
    fs::remove_all(folder_);
    const mode_t saved = ::umask(umask_value);
    const bool written = append_to_log_file(folder_, "line\n", kNoRotation);
    ::umask(saved);
    EXPECT_TRUE(written) << "umask " << umask_value;
    EXPECT_EQ(mode_of(folder_), 0755u) << "umask " << umask_value;
    EXPECT_EQ(read_file(folder_ / kLogFileName), "line\n");
  }
}

TEST_F(LogFileSecurityTest, FolderWritableByOthersIsRefused) {
  for (const mode_t mode : {0777, 0775, 0757, 01777}) {
    fs::remove_all(folder_);
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder_.c_str(), mode), 0);
    EXPECT_FALSE(append_to_log_file(folder_, "line\n", kNoRotation)) << std::oct << mode;
    EXPECT_FALSE(fs::exists(folder_ / kLogFileName)) << std::oct << mode;
    EXPECT_EQ(mode_of(folder_), mode);  // refused, not repaired: it may hold anything
  }
}

TEST_F(LogFileSecurityTest, FolderOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ASSERT_EQ(::mkdir(folder_.c_str(), 0755), 0);
  ASSERT_EQ(::chown(folder_.c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(append_to_log_file(folder_, "line\n", kNoRotation));
  EXPECT_FALSE(fs::exists(folder_ / kLogFileName));
}

TEST_F(LogFileSecurityTest, SymlinkedFolderIsNotFollowed) {
  const fs::path real = root_ / "elsewhere";
  fs::create_directories(real);
  fs::permissions(real, fs::perms(0755));
  fs::create_directory_symlink(real, folder_);
  EXPECT_FALSE(append_to_log_file(folder_, "line\n", kNoRotation));
  EXPECT_FALSE(append_to_log_file(folder_ / "", "line\n", kNoRotation));  // a trailing slash too
  EXPECT_FALSE(fs::exists(real / kLogFileName));
}

TEST_F(LogFileSecurityTest, SymlinkOrHardLinkAtTheLogPathIsNeverWrittenThrough) {
  ASSERT_TRUE(append_to_log_file(folder_, "first\n", kNoRotation));
  fs::remove(folder_ / kLogFileName);
  fs::create_symlink(victim_, folder_ / kLogFileName);
  EXPECT_FALSE(append_to_log_file(folder_, "via symlink\n", kNoRotation));
  fs::remove(folder_ / kLogFileName);
  fs::create_hard_link(victim_, folder_ / kLogFileName);
  EXPECT_FALSE(append_to_log_file(folder_, "via hard link\n", kNoRotation));
  EXPECT_EQ(read_file(victim_), "untouched");
}

TEST_F(LogFileSecurityTest, FileOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  ASSERT_TRUE(append_to_log_file(folder_, "first\n", kNoRotation));
  ASSERT_EQ(::chown((folder_ / kLogFileName).c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(append_to_log_file(folder_, "second\n", kNoRotation));
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
  ASSERT_TRUE(append_to_log_file(folder_, "first\n", kNoRotation));
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
  for (int i = 0; i < 500; ++i) append_to_log_file(folder_, "racing\n", kNoRotation);
  done = true;
  swapper.join();
  EXPECT_EQ(read_file(victim_), "untouched");
}

}  // namespace
}  // namespace halvorine
