#include "bin/worker/inject/secure_attention_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <fmt/format.h>

#include "bin/worker/inject/injection_thread.h"
#include "inject/fakes/fake_desktop_session_api.h"
#include "inject/fakes/fake_input_sink.h"
#include "inject/fakes/fake_secure_attention.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

// Keys are written as a letter and + (down) or - (up): C/c Control left/right,
// A/a Alt left/right, S ShiftLeft, D Delete.
const std::map<char, std::pair<std::string, std::uint16_t>> kKeys = {
    {'C', {"ControlLeft", 0xA2}}, {'c', {"ControlRight", 0xA3}}, {'A', {"AltLeft", 0xA4}},
    {'a', {"AltRight", 0xA5}},    {'S', {"ShiftLeft", 0xA0}},    {'D', {"Delete", 0x2E}}};

// The injection thread on the fakes (the API impersonates session 1's user);
// the sink also notes the identity each record was injected under.
struct ThreadRun final : InputSink {
  testing::FakeDesktopSessionApi api;
  testing::FakeInputSink sink;
  testing::RecordingLogger log;
  testing::FakeClock clock;
  testing::FakeSecureAttention sas{api};
  bool injected_as_system = false;

  SendOutcome send(std::span<const InputRecord> records) override {
    injected_as_system |= !api.impersonating;
    return sink.send(records);
  }
  // Returns what reached the sink, written as `keys` are.
  std::string keys_through(const std::string& keys, bool with_platform = true) {
    auto [sender, receiver] = make_unbounded_channel<InputEvent>();
    std::istringstream in(keys);
    for (std::string key; in >> key;) sender.send(KeyEvent{kKeys.at(key[0]).first, key[1] == '+'});
    { auto closed = std::move(sender); }
    run_injection_thread(std::move(receiver), api, *this, log, clock, with_platform ? &sas : nullptr);
    std::string injected;
    for (const auto& call : sink.calls) {
      const auto key = std::ranges::find(kKeys, call.at(0).keyboard.virtual_key, [](auto& k) { return k.second.second; });
      injected += std::string(injected.empty() ? "" : " ") + key->first + ((call[0].keyboard.flags & 2) ? '-' : '+');
    }
    return injected;
  }
  long log_count(std::string_view line) const { return std::ranges::count(log.lines(), line); }
};

TEST(SecureAttentionKeys, DeletePressedUnderControlAndAltIsOneSequenceAsSystem) {
  const struct {
    std::string keys;
    int sends;
    std::string injected;
  } cases[] = {
      {"C+ A+ D+ D- A- C-", 1, "C+ A+ A- C-"},
      {"c+ a+ D+ D- a- c-", 1, "c+ a+ a- c-"},
      {"A+ c+ D+ D+ D+ D- c- A-", 1, "A+ c+ c- A-"},        // repeated presses before the release
      {"C+ A+ D+ C- A- D-", 1, "C+ A+ C- A-"},              // a client gone mid-sequence: its releases
      {"C+ c+ C- A+ D+ D- A- c-", 1, "C+ c+ C- A+ A- c-"},  // the right Control is still held
      {"C+ A+ D+ D- D+ D- A- C-", 2, "C+ A+ A- C-"},
      {"D+ D-", 0, "D+ D-"},
      {"D-", 0, "D-"},  // a release without its press
      {"C+ S+ D+ D- S- C-", 0, "C+ S+ D+ D- S- C-"},
      {"C+ A+ C- D+ D- A-", 0, "C+ A+ C- D+ D- A-"},
      {"D+ C+ A+ D- A- C-", 0, "D+ C+ A+ D- A- C-"},  // Delete went down first
  };
  for (const auto& c : cases) {
    ThreadRun run;
    EXPECT_EQ(run.keys_through(c.keys), c.injected) << c.keys;
    EXPECT_EQ(run.sas.sends, c.sends) << c.keys;
    EXPECT_EQ(run.log_count("inject: Ctrl+Alt+Del -> SendSAS"), c.sends) << c.keys;
    // Impersonation ended for the call and taken up again before the next
    // key: keys as the user, the call as SYSTEM, one session lookup only.
    EXPECT_FALSE(run.injected_as_system) << c.keys;
    EXPECT_FALSE(run.sas.called_while_impersonating) << c.keys;
    EXPECT_EQ(run.api.enumerations, 1) << c.keys;
    EXPECT_EQ(run.api.reverts, c.sends + 1) << c.keys;  // + the thread's own at its end
  }
}

TEST(SecureAttentionKeys, ManyQuickSequencesAreOneCallEachAndLeaveNoKeyDown) {
  ThreadRun run;
  std::string keys;
  for (int i = 0; i < 1000; ++i) keys += "C+ A+ D+ D+ D- A- C- ";
  const std::string injected = run.keys_through(keys);
  EXPECT_EQ(run.sas.sends, 1000);
  EXPECT_EQ(run.sas.loads, 1);
  EXPECT_EQ(std::ranges::count(injected, '+'), 2000);
  EXPECT_EQ(std::ranges::count(injected, '-'), 2000);
  EXPECT_EQ(injected.find('D'), std::string::npos);
}

TEST(SecureAttentionKeys, WithoutTheSequenceTheKeysGoOut) {
  const std::string twice = "C+ A+ D+ D- A- C- C+ A+ D+ D- A- C-";
  ThreadRun linux_like;  // no platform sequence: nothing said, keys as they came
  EXPECT_EQ(linux_like.keys_through(twice, false), twice);
  EXPECT_EQ(linux_like.log.lines().size(), 5u);  // the thread's own lines only

  ThreadRun unavailable;
  unavailable.sas.load_error = Error::message("LoadLibraryExW: not found");
  EXPECT_EQ(unavailable.keys_through(twice), twice);
  EXPECT_EQ(unavailable.sas.loads, 1);
  EXPECT_EQ(unavailable.sas.sends, 0);
  EXPECT_EQ(unavailable.log_count("inject: SendSAS indisponibil (LoadLibraryExW: not found) - trimit tastele"), 1);
  EXPECT_FALSE(unavailable.injected_as_system);
  EXPECT_FALSE(unavailable.sas.called_while_impersonating);

  for (const std::uint32_t policy : {0u, 1u, 2u, 3u}) {
    ThreadRun run;
    run.sas.policy = policy;
    EXPECT_EQ(run.keys_through(twice), "C+ A+ A- C- C+ A+ A- C-");
    const bool warned = policy != 1 && policy != 3;
    EXPECT_EQ(run.log_count(fmt::format(
                  "inject: SoftwareSASGeneration={} - Windows poate ignora Ctrl+Alt+Del de la servicii", policy)),
              warned ? 1 : 0)
        << policy;
  }
}

}  // namespace
}  // namespace halvorine
