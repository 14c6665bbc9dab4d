#include "bin/worker/inject/input_desktop.h"

#include <array>
#include <chrono>

#include <fmt/format.h>

#include "common/utf16.h"
#include "desktop/desktop_name.h"

namespace halvorine {
namespace {

constexpr std::string_view kStaySystem = "inject: fara user logat, raman SYSTEM (Winlogon)";
constexpr std::string_view kCannotAttach = "input: nu ma pot atasa la desktopul de input (privilegii?)";

// Decodes one UTF-8 sequence at `text[i]` (the text is valid UTF-8: it comes
// from our own UTF-16 decoding) and advances `i` past it.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (i + length > text.size()) length = 1;  // defensive: never read past the end
  char32_t cp = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
  i += length;
  return cp;
}

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// Whole seconds matter only; a clock that went back counts as no time passed.
bool less_than_a_second_since(Clock::MonotonicTime then, Clock::MonotonicTime now) {
  const auto elapsed = now > then ? now - then : Clock::MonotonicTime::duration::zero();
  return elapsed < std::chrono::seconds(1);
}

}  // namespace

bool is_winlogon_desktop(std::string_view name) {
  constexpr std::string_view kWinlogon = "winlogon";
  if (name.size() != kWinlogon.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kWinlogon[i]) return false;
  }
  return true;
}

std::string debug_desktop_name(const std::optional<std::string>& name) {
  if (!name) return "None";
  std::string out = "Some(\"";
  const std::string_view text = *name;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t cp = next_code_point(text, i);
    switch (cp) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_control(cp)) {
          out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
        } else {
          out.append(text.substr(start, i - start));
        }
    }
  }
  out += "\")";
  return out;
}

void InputDesktop::revert_impersonation() {
  if (!token_ && !impersonating_) return;
  sessions_.revert_to_self();
  token_.reset();  // closes the token
  impersonating_ = false;
}

void InputDesktop::impersonate_session_user(const std::optional<std::string>& name) {
  revert_impersonation();
  if (name && is_winlogon_desktop(*name)) {
    log_.log(kStaySystem);
    return;
  }
  const std::optional<std::vector<SessionInfo>> sessions = sessions_.enumerate_sessions();
  if (!sessions) {
    log_.log(kStaySystem);
    return;
  }

  std::unique_ptr<UserToken> token;
  std::uint32_t session_id = 0;
  std::string_view label;
  // An active session's user is preferred to a disconnected one's.
  for (const auto& [state_wanted, state_label] :
       {std::pair{SessionState::active, std::string_view("Active")},
        std::pair{SessionState::disconnected, std::string_view("Disconnected")}}) {
    for (const SessionInfo& session : *sessions) {
      if (session.state != state_wanted) continue;
      token = sessions_.query_user_token(session.id);
      if (token) {
        session_id = session.id;
        label = state_label;
        break;
      }
    }
    if (token) break;
  }

  if (!token || !sessions_.impersonate(*token)) {
    log_.log(kStaySystem);
    return;  // a refused token is closed here
  }
  token_ = std::move(token);
  impersonating_ = true;
  log_.log(fmt::format("inject: impersonez user sesiune {} (state={})", session_id, label));
}

void InputDesktop::retry_impersonation(const std::string& name) {
  if (is_winlogon_desktop(name) || impersonating_) return;
  const Clock::MonotonicTime now = clock_.monotonic_now();
  if (last_retry_ && less_than_a_second_since(*last_retry_, now)) return;
  last_retry_ = now;
  impersonate_session_user(name);
  if (impersonating_) log_.log("inject: context de securitate reparat -- impersonare reusita la reincercare");
}

void InputDesktop::ensure() {
  OwnedDesktop opened = desktops_.open_input_desktop();
  if (!opened && impersonating_) {
    // The user may not open the secure desktop; SYSTEM can.
    revert_impersonation();
    opened = desktops_.open_input_desktop();
  }
  if (!opened) {
    if (!open_failure_reported_) {
      log_.log(kCannotAttach);
      open_failure_reported_ = true;
    }
    return;
  }
  open_failure_reported_ = false;
  const std::optional<std::string> name = desktop_name(desktops_, opened);

  if (attachment_.holds(name)) {
    repeating_attach_.reset();  // back on the attached desktop: that condition has ended
    retry_impersonation(*name);
    return;  // `opened` closes here
  }

  // A refused attach or an unreadable name looks like a change on every
  // event; the same one is attempted again only once per second, so neither
  // sessions nor messages repeat at the event rate.
  const Clock::MonotonicTime now = clock_.monotonic_now();
  if (repeating_attach_ && repeating_attach_->name == name &&
      less_than_a_second_since(repeating_attach_->at, now)) {
    return;  // `opened` closes here; the thread stays where it is
  }

  // Take the identity that suits the new desktop before moving onto it.
  impersonate_session_user(name);
  if (!attachment_.attach(desktops_, std::move(opened), name)) {
    if (!attach_failure_reported_ || attach_failure_name_ != name) {
      log_.log(kCannotAttach);
      attach_failure_reported_ = true;
      attach_failure_name_ = name;
    }
    repeating_attach_ = RepeatingAttach{name, now};
    return;
  }
  attach_failure_reported_ = false;
  if (name) {
    repeating_attach_.reset();
  } else {
    repeating_attach_ = RepeatingAttach{name, now};
  }
  const std::string debug_name = debug_desktop_name(name);
  log_.log(fmt::format("input: reatasat la desktopul de input {}", debug_name));
  log_.log(fmt::format("inject: desktop={} thread_id={}", debug_name, sessions_.current_thread_id()));
}

}  // namespace halvorine
