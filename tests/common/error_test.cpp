#include "common/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#ifdef _WIN32
#include "common/win/win_sdk.h"
#endif

namespace halvorine {
namespace {

#ifdef _WIN32
constexpr int kBrokenPipe = 109;  // ERROR_BROKEN_PIPE

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#endif

TEST(ErrorTest, OsErrorShowsSystemMessageAndCodeAndReadsTheLastOne) {
#ifdef _WIN32
  // Wine words the system messages differently from Windows.
  EXPECT_EQ(Error::os(kBrokenPipe).text(), running_under_wine()
                                               ? "Broken pipe. (os error 109)"
                                               : "The pipe has been ended. (os error 109)");
#else
  EXPECT_EQ(Error::os(ECONNRESET).text(), "Connection reset by peer (os error 104)");
#endif
  EXPECT_EQ(Error::os(5).kind(), Error::Kind::os);
  EXPECT_EQ(Error::os(5).code(), 5);
#ifdef _WIN32
  SetLastError(kBrokenPipe);
  EXPECT_EQ(Error::last_os().code(), kBrokenPipe);
#else
  errno = ECONNRESET;
  EXPECT_EQ(Error::last_os().code(), ECONNRESET);
#endif
}

TEST(ErrorTest, HresultUsesDescriptionElseSystemMessageAndUpperHex) {
  EXPECT_EQ(Error::hresult(static_cast<std::int32_t>(0x887A0001), "Invalid call.\r\n ").text(),
            "Invalid call. (0x887A0001)");
#ifdef _WIN32
  // E_NOTIMPL has a system message on Windows.
  EXPECT_EQ(Error::hresult(static_cast<std::int32_t>(0x80004001)).text(), "Not implemented. (0x80004001)");
#else
  EXPECT_EQ(Error::hresult(static_cast<std::int32_t>(0x80004001)).text(), "Unknown error (0x80004001)");
#endif
  EXPECT_EQ(Error::hresult(0x1, "x").text(), "x (0x00000001)");
}

TEST(ErrorTest, ContextPrefixesStepsAndKeepsVerdictAndMessagesStandAsTheyAre) {
  const Error inner = Error::hresult(static_cast<std::int32_t>(0x80070005), "Access is denied.");
  const Error wrapped = inner.context("DuplicateOutput").context("D3D11CreateDevice");
  EXPECT_EQ(wrapped.text(), "D3D11CreateDevice: DuplicateOutput: Access is denied. (0x80070005)");
  EXPECT_EQ(wrapped.kind(), Error::Kind::hresult);
  EXPECT_EQ(wrapped.code(), inner.code());
  EXPECT_EQ(Error::early_eof().context("read").text(), "read: early eof");
  EXPECT_EQ(Error::message("Encoder max resolution").text(), "Encoder max resolution");
}

}  // namespace
}  // namespace halvorine
