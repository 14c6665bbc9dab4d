#include "common/worker_log.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_files.h"
#include "support/fake_clock.h"

#ifdef _WIN32
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"
#endif

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using testing::read_file;

void set_env(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

class WorkerLogTest : public testing::LogFolderTest {
 protected:
  testing::FakeClock clock_;
};

TEST(LogLineFormatTest, PadsFieldsAndKeepsMessageBytes) {
  const LocalTime local{2025, 1, 2, 3, 4, 5, 6};
  const auto system = Clock::SystemTime(std::chrono::milliseconds(1735787045006));
  EXPECT_EQ(format_log_line(system, local, "worker starting"),
            "[1735787045006] [2025-01-02 03:04:05.006] worker starting\n");
  EXPECT_EQ(format_log_line(system, local, ""), "[1735787045006] [2025-01-02 03:04:05.006] \n");
  EXPECT_EQ(format_log_line(system, local, "a \xE2\x80\x94 b \xE2\x86\x92 c"),
            "[1735787045006] [2025-01-02 03:04:05.006] a \xE2\x80\x94 b \xE2\x86\x92 c\n");
  EXPECT_EQ(format_log_line(Clock::SystemTime(-5ms), LocalTime{1969, 12, 31, 23, 59, 59, 995}, "x"),
            "[0] [1969-12-31 23:59:59.995] x\n");
  EXPECT_EQ(format_log_line(Clock::SystemTime(0ms), LocalTime{9, 1, 1, 0, 0, 0, 0}, "y"),
            "[0] [0009-01-01 00:00:00.000] y\n");
}

TEST_F(WorkerLogTest, AppendsLinesAndCreatesTheDirectory) {
  WorkerLog log(clock_, root_ / "Halvorine");
  clock_.set_system(Clock::SystemTime(1733493600123ms));
  clock_.set_local({2024, 12, 6, 16, 0, 0, 123});
  log.log("worker starting");
  log.log("");
  EXPECT_EQ(read_file(root_ / "Halvorine" / "halvorine-worker.log"),
            "[1733493600123] [2024-12-06 16:00:00.123] worker starting\n"
            "[1733493600123] [2024-12-06 16:00:00.123] \n");
}

TEST_F(WorkerLogTest, DeletedFileIsRecreatedByTheNextLine) {
  WorkerLog log(clock_, root_);
  log.log("first");
  std::filesystem::remove(log.file());
  log.log("second");
  const std::string content = read_file(log.file());
  EXPECT_EQ(content.find("first"), std::string::npos);
  EXPECT_NE(content.find("] second\n"), std::string::npos);
}

// Lines of one length: "[1733493600123] [2024-12-06 16:00:00.123] mNN\n" is 46 bytes.
std::string expected_lines(int first, int last) {
  std::string out;
  for (int i = first; i <= last; ++i) {
    out += fmt::format("[1733493600123] [2024-12-06 16:00:00.123] m{:02}\n", i);
  }
  return out;
}

TEST_F(WorkerLogTest, FileAtTheSizeLimitMovesToDotOneAndANewFileStarts) {
  WorkerLog log(clock_, root_, 200);
  const auto log_lines = [&](int first, int last) {
    for (int i = first; i <= last; ++i) log.log(fmt::format("m{:02}", i));
  };
  // 5 lines make 230 bytes: the sixth finds the file past the limit.
  log_lines(0, 4);
  EXPECT_EQ(read_file(log.file()), expected_lines(0, 4));
  EXPECT_FALSE(std::filesystem::exists(root_ / "halvorine-worker.log.1"));
  log_lines(5, 5);
  EXPECT_EQ(read_file(root_ / "halvorine-worker.log.1"), expected_lines(0, 4));
  EXPECT_EQ(read_file(log.file()), expected_lines(5, 5));
  // The next rotation replaces the previous .1.
  log_lines(6, 11);
  EXPECT_EQ(read_file(root_ / "halvorine-worker.log.1"), expected_lines(5, 9));
  EXPECT_EQ(read_file(log.file()), expected_lines(10, 11));
}

// Another program's log beside the worker's (the service's) rotates to its
// own .1 and leaves the worker's files alone.
TEST_F(WorkerLogTest, NamedLogRotatesToItsOwnDotOne) {
  WorkerLog worker(clock_, root_, 200);
  WorkerLog service(clock_, root_, 200, "halvorine-service.log");
  worker.log("m00");
  for (int i = 0; i <= 5; ++i) service.log(fmt::format("m{:02}", i));
  EXPECT_EQ(service.file(), root_ / "halvorine-service.log");
  EXPECT_EQ(read_file(root_ / "halvorine-service.log.1"), expected_lines(0, 4));
  EXPECT_EQ(read_file(service.file()), expected_lines(5, 5));
  EXPECT_EQ(read_file(worker.file()), expected_lines(0, 0));
  EXPECT_FALSE(std::filesystem::exists(root_ / "halvorine-worker.log.1"));
}

// Lines from many threads at once stay whole and in each thread's order, and
// the rotation loses only whole older files.
TEST_F(WorkerLogTest, RotationUnderConcurrentLinesKeepsEveryLineWholeAndTheFilesBounded) {
  constexpr std::uint64_t kLimit = 4096;
  WorkerLog log(clock_, root_, kLimit);
  constexpr int kThreads = 6;
  constexpr int kLinesPerThread = 300;
  const std::string padding(60, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, &padding, t] {
      for (int i = 0; i < kLinesPerThread; ++i) log.log(fmt::format("t{} {:03} {}", t, i, padding));
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string line_pattern_end = " " + padding;
  std::size_t max_line = 0;
  int total = 0;
  std::vector<int> last_seen(kThreads, -1);
  // Oldest first: what .1 holds was written before what the log holds.
  for (const auto& path : {root_ / "halvorine-worker.log.1", log.file()}) {
    const std::string content = read_file(path);
    ASSERT_FALSE(content.empty()) << path;
    ASSERT_EQ(content.back(), '\n') << path;
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
      ++total;
      max_line = std::max(max_line, line.size() + 1);
      ASSERT_TRUE(line.starts_with("[1733493600123] [2024-12-06 16:00:00.123] t")) << line;
      ASSERT_TRUE(line.ends_with(line_pattern_end)) << line;
      // Each thread's lines follow one another with no gap: a rotation loses
      // only whole older files, never a line in between.
      const std::size_t at = line.find("] t") + 3;
      const int t = line[at] - '0';
      const int index = std::stoi(line.substr(at + 2, 3));
      if (last_seen[t] >= 0) {
        EXPECT_EQ(index, last_seen[t] + 1) << line;
      }
      last_seen[t] = index;
    }
    // A file is moved once it reaches the limit, so it ends at most one line past it.
    EXPECT_LT(content.size(), kLimit + max_line) << path;
  }
  // A thread seen at all has its later lines kept, up to its last.
  for (int t = 0; t < kThreads; ++t) {
    if (last_seen[t] >= 0) {
      EXPECT_EQ(last_seen[t], kLinesPerThread - 1) << t;
    }
  }
  // Older lines went with replaced .1 files; the two files hold the last ones.
  EXPECT_GT(total, static_cast<int>(kLimit / max_line));
  EXPECT_GE(read_file(root_ / "halvorine-worker.log.1").size(), kLimit);
}

TEST_F(WorkerLogTest, ProgramDataDirectoryFromEnvironment) {
  const char* saved = std::getenv("PROGRAMDATA");
  const std::string saved_value = saved ? saved : "";

  set_env("PROGRAMDATA", root_.string().c_str());
  EXPECT_EQ(program_data_directory(), root_);
  WorkerLog log(clock_);
  EXPECT_EQ(log.file(), root_ / "Halvorine" / "halvorine-worker.log");
  log.log("here");
  EXPECT_TRUE(std::filesystem::exists(root_ / "Halvorine" / "halvorine-worker.log"));

  set_env("PROGRAMDATA", nullptr);
#ifdef _WIN32
  EXPECT_EQ(program_data_directory(), std::filesystem::path(L"C:\\ProgramData"));
#else
  EXPECT_EQ(program_data_directory(), std::filesystem::path("/var/lib"));
#endif
  set_env("PROGRAMDATA", saved ? saved_value.c_str() : nullptr);
}

TEST_F(WorkerLogTest, UnopenableFileDropsTheMessage) {
  // A directory where the file should be: the open fails on every platform.
  std::filesystem::create_directories(root_ / "halvorine-worker.log");
  WorkerLog log(clock_, root_);
  log.log("lost");
#ifdef _WIN32  // moved aside, named after the local time; the log goes on
  EXPECT_TRUE(std::filesystem::is_directory(root_ / "halvorine-worker.log.refuzat-20241206160000"));
  EXPECT_NE(read_file(log.file()).find("] lost\n"), std::string::npos);
#else
  EXPECT_TRUE(std::filesystem::is_directory(root_ / "halvorine-worker.log"));
#endif
}

#ifdef _WIN32
TEST_F(WorkerLogTest, FileHeldWithoutWriteSharingLosesTheLineOnly) {
  WorkerLog log(clock_, root_);
  log.log("before");
  {
    UniqueHandle exclusive(CreateFileW(log.file().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive);
    log.log("while held");
  }
  log.log("after");
  const std::string content = read_file(log.file());
  EXPECT_NE(content.find("] before\n"), std::string::npos);
  EXPECT_EQ(content.find("while held"), std::string::npos);
  EXPECT_NE(content.find("] after\n"), std::string::npos);
}
#endif

}  // namespace
}  // namespace halvorine
