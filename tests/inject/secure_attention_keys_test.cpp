#include "bin/worker/inject/secure_attention_keys.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "desktop/fake_desktop_api.h"
#include "inject/fakes/fake_session_api.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

struct FakeCall final : SecureAttention {
  explicit FakeCall(testing::FakeSessionApi& api) : api(api) {}
  Result<void> load() override { return checked(error ? Result<void>(std::unexpected(*error)) : Result<void>()); }
  std::uint32_t software_sas_generation() override { return checked(1u); }
  void send() override { sends += checked(1); }
  template <typename T> T checked(T result) { return as_user |= api.impersonating, result; }
  testing::FakeSessionApi& api;
  std::optional<Error> error;
  int sends = 0;
  bool as_user = false;  // a call was made while impersonating
};

std::string times(int n, const std::string& keys) { return n > 1 ? keys + ' ' + times(n - 1, keys) : keys; }

// The counts of the sequences swallowed for coming within a second of the last one sent.
std::uint64_t swallowed(const std::vector<std::string>& lines) {
  std::uint64_t total = 0;
  for (const auto& line : lines) {
    if (line.ends_with(" Ctrl+Alt+Del ignorate (cel mult un SendSAS pe secunda)")) total += std::stoull(line.substr(8));
  }
  return total;
}

// Keys: C/c Control left/right, A/a Alt left/right, S ShiftLeft, D Delete, + down, - up; ! after an event: the
// thread was left without its user. Platform: w SendSAS, u sas.dll unavailable, n none (Linux). Events come
// at once, or 10 ms apart where a count of swallowed sequences is given (at most one call a second).
TEST(SecureAttentionKeys, DeleteUnderControlAndAltIsOneCallPerPressMadeAsSystemAtMostOnceASecond) {
  const std::string cad = "C+ A+ D+ D- A- C-";
  const struct {
    std::string keys;
    int sends;
    std::string expected;
    char platform;
    std::uint64_t counted = 0;  // sequences swallowed
  } cases[] = {
      {cad, 1, "C+ A+ A- C-", 'w'}, {"c+ a+ D+ D- a- c-", 1, "c+ a+ a- c-", 'w'},
      {"A+ c+ D+ D+ D+ D- c- A-", 1, "A+ c+ c- A-", 'w'},        // repeated presses before the release
      {"C+ A+ D+ C- A- D-", 1, "C+ A+ C- A-", 'w'},              // a client gone mid-sequence: its releases
      {"C+ c+ C- A+ D+ D- A- c-", 1, "C+ c+ C- A+ A- c-", 'w'},  // the right Control is still held
      // 1000 times, one every 70 ms: the first and every 15th after it are sent, the rest counted.
      {times(1000, "C+ A+ D+ D+ D- A- C-"), 67, times(1000, "C+ A+ A- C-"), 'w', 933},
      {times(3, cad), 1, times(3, "C+ A+ A- C-"), 'w', 2},
      {"D+ D-", 0, "D+ D-", 'w'}, {"D-", 0, "D-", 'w'}, {"C+ S+ D+ D- S- C-", 0, "C+ S+ D+ D- S- C-", 'w'},
      {"C+ A+ C- D+ D- A-", 0, "C+ A+ C- D+ D- A-", 'w'}, {"D+ C+ A+ D- A- C-", 0, "D+ C+ A+ D- A- C-", 'w'},
      {times(2, cad), 0, times(2, cad), 'n'}, {times(2, cad), 0, times(2, cad), 'u'}};
  for (const auto& [keys, sends, expected, platform, counted] : cases) {
    testing::FakeDesktopApi desktops;
    testing::FakeSessionApi api;
    testing::RecordingLogger log;
    testing::FakeClock clock;
    FakeCall call(api);
    if (platform == 'u') call.error = Error::message("gone");
    InputDesktop desktop(desktops, api, log, clock);
    desktop.ensure();  // impersonates session 1's user
    SecureAttentionKeys detection(platform == 'n' ? nullptr : &call, desktop, log, clock);
    std::string injected;
    for (std::size_t i = 0; i < keys.size(); i += 3) {
      if (counted > 2) clock.advance(std::chrono::milliseconds(10));
      const char* const names[] = {"ControlLeft", "ControlRight", "AltLeft", "AltRight", "ShiftLeft", "Delete"};
      const char* const name = names[std::string_view("CcAaSD").find(keys[i])];
      injected += detection.consume(name, keys[i + 1] == '+') ? "" : keys.substr(i, 2) + ' ';
      injected += api.impersonating ? "" : "! ";
    }
    EXPECT_EQ(injected, expected + ' ') << keys;
    EXPECT_EQ(call.sends, sends) << keys;
    EXPECT_FALSE(call.as_user) << keys;
    EXPECT_EQ(std::ranges::count(log.lines(), "inject: Ctrl+Alt+Del -> SendSAS"), sends) << keys;
    detection.flush();
    EXPECT_EQ(swallowed(log.lines()), counted) << keys;
    EXPECT_EQ(std::ranges::count(log.lines(), "inject: SendSAS indisponibil (gone) - trimit tastele"), platform == 'u');
  }
}

}  // namespace
}  // namespace halvorine
