// The trust rule for input clients, on a fake file system: where the image
// lies, and who may change each entry from the root down to it.
#include "bin/worker/pipe/client_trust.h"

#include <gtest/gtest.h>

#include "fake_pipes.h"

namespace halvorine {
namespace {

using testing::FakeTrustPlatform;

constexpr PathEntrySecurity kOthersAdd{true, false, true};
constexpr PathEntrySecurity kOthersReplace{true, true, true};
constexpr PathEntrySecurity kForeignOwner{false, false, false};

TEST(ClientTrust, ImageBesideTheWorkerInFoldersNobodyElseMayChange) {
  const std::string linux_worker = "/opt/halvorine/bin/halvorine-worker";
  const std::string windows_worker = R"(C:\Program Files\Halvorine\halvorine-worker.exe)";
  const struct {
    const char* what;
    bool windows;
    std::string client;
    std::map<std::string, Result<PathEntrySecurity>> entries;
    ClientVerdict verdict;
  } rows[] = {
      {"beside", false, "/opt/halvorine/bin/gui", {}, {true, "/opt/halvorine/bin/gui", ""}},
      {"elsewhere", false, "/tmp/gui", {}, {false, "/tmp/gui", ""}},
      {"a folder named alike", false, "/opt/halvorine/binx/gui", {}, {false, "/opt/halvorine/binx/gui", ""}},
      {"dot-dot", false, "/opt/halvorine/bin/../../../tmp/gui", {},
       {false, "/opt/halvorine/bin/../../../tmp/gui", "not a plain absolute path"}},
      {"a parent others may change", false, "/opt/halvorine/bin/gui", {{"/opt", kOthersReplace}},
       {false, "/opt/halvorine/bin/gui", "/opt: others may change it"}},
      {"the worker's folder others may write", false, "/opt/halvorine/bin/gui", {{"/opt/halvorine/bin", kOthersAdd}},
       {false, "/opt/halvorine/bin/gui", "/opt/halvorine/bin: others may write into it"}},
      {"a foreign owner", false, "/opt/halvorine/bin/gui", {{"/opt/halvorine", kForeignOwner}},
       {false, "/opt/halvorine/bin/gui", "/opt/halvorine: owned by someone else"}},
      {"an entry that cannot be read", false, "/opt/halvorine/bin/gui",
       {{"/", std::unexpected(Error::message("a link"))}}, {false, "/opt/halvorine/bin/gui", "/: a link"}},
      {"Windows, any case", true, R"(c:\program files\HALVORINE\gui.exe)", {},
       {true, R"(c:\program files\HALVORINE\gui.exe)", ""}},
      // Every user may add folders to C:\: that changes nothing below it.
      {"Windows, users add to C:\\", true, R"(C:\Program Files\Halvorine\gui.exe)", {{R"(C:\)", kOthersAdd}},
       {true, R"(C:\Program Files\Halvorine\gui.exe)", ""}},
      {"Windows, elsewhere", true, R"(C:\Users\u\AppData\Local\Temp\gui.exe)", {},
       {false, R"(C:\Users\u\AppData\Local\Temp\gui.exe)", ""}},
      {"Windows, the folder others may write", true, R"(C:\Program Files\Halvorine\gui.exe)",
       {{R"(C:\Program Files\Halvorine)", kOthersAdd}},
       {false, R"(C:\Program Files\Halvorine\gui.exe)", R"(C:\Program Files\Halvorine: others may write into it)"}},
  };
  for (const auto& row : rows) {
    FakeTrustPlatform platform;
    platform.windows = row.windows;
    platform.worker = row.windows ? windows_worker : linux_worker;
    platform.client = row.client;
    platform.entries = row.entries;
    EXPECT_EQ(judge_client(platform, 4242u), row.verdict) << row.what;
  }
}

TEST(ClientTrust, EveryEntryFromTheRootDownIsLookedAtAndUnreadableClientsAreNotTrusted) {
  FakeTrustPlatform platform;
  platform.worker = "/opt/h/halvorine-worker";
  platform.client = "/opt/h/sub/gui";
  EXPECT_TRUE(judge_client(platform, 4242u).trusted);
  EXPECT_EQ(platform.looked_at, (std::vector<std::string>{"/", "/opt", "/opt/h", "/opt/h/sub", "/opt/h/sub/gui"}));

  platform.client = std::unexpected(Error::os(3).context("readlink"));
  EXPECT_EQ(judge_client(platform, 4242u), (ClientVerdict{false, "", "pid 4242: readlink: " + Error::os(3).text()}));
  EXPECT_EQ(judge_client(platform, std::unexpected(Error::message("SO_PEERCRED: no process"))),
            (ClientVerdict{false, "", "client process: SO_PEERCRED: no process"}));
}

}  // namespace
}  // namespace halvorine
