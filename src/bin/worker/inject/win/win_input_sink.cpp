#include "bin/worker/inject/win/win_input_sink.h"

#include <algorithm>
#include <array>

#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

static_assert(sizeof(void*) != 8 || sizeof(INPUT) == 40, "SendInput is given 40-byte records on x64");

INPUT to_win32(const InputRecord& record) {
  INPUT input{};
  if (record.type == InputType::keyboard) {
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = record.keyboard.virtual_key;
    input.ki.wScan = record.keyboard.scan_code;
    input.ki.dwFlags = record.keyboard.flags;
    input.ki.time = 0;
    input.ki.dwExtraInfo = 0;
  } else {
    input.type = INPUT_MOUSE;
    input.mi.dx = record.mouse.dx;
    input.mi.dy = record.mouse.dy;
    input.mi.mouseData = static_cast<DWORD>(record.mouse.mouse_data);  // keeps the two's complement
    input.mi.dwFlags = record.mouse.flags;
    input.mi.time = 0;
    input.mi.dwExtraInfo = 0;
  }
  return input;
}

}  // namespace

SendOutcome WinInputSink::send(std::span<const InputRecord> records) {
  // The injector never sends more than three records at once; more are sent in
  // chunks of that size so that no allocation is needed.
  constexpr std::size_t kChunk = 8;
  std::array<INPUT, kChunk> inputs;
  SendOutcome outcome;
  for (std::size_t offset = 0; offset < records.size(); offset += kChunk) {
    const std::size_t count = std::min(kChunk, records.size() - offset);
    for (std::size_t i = 0; i < count; ++i) inputs[i] = to_win32(records[offset + i]);
    const UINT inserted = SendInput(static_cast<UINT>(count), inputs.data(), static_cast<int>(sizeof(INPUT)));
    outcome.inserted += inserted;
    if (inserted < count) {
      outcome.error = static_cast<std::int32_t>(GetLastError());
      break;
    }
  }
  drain_thread_messages();
  return outcome;
}

bool WinInputSink::is_down(std::uint16_t virtual_key) {
  // The desktop's own state (the high bit), which outlives whoever pressed.
  return (GetAsyncKeyState(virtual_key) & 0x8000) != 0;
}

std::optional<std::uint16_t> WinInputSink::layout_virtual_key(std::uint16_t scan_code) {
  // The layout of the thread that will read the key: the foreground window's,
  // on the desktop this thread is attached to. No foreground window (none
  // has the focus, or input is moving to another desktop): no layout.
  HWND foreground = GetForegroundWindow();
  if (foreground == nullptr) return std::nullopt;
  const DWORD thread = GetWindowThreadProcessId(foreground, nullptr);
  if (thread == 0) return std::nullopt;
  HKL layout = GetKeyboardLayout(thread);
  if (layout == nullptr) return std::nullopt;
  const UINT virtual_key = MapVirtualKeyExW(scan_code, MAPVK_VSC_TO_VK_EX, layout);
  if (virtual_key == 0 || virtual_key > 0xFE) return std::nullopt;
  return static_cast<std::uint16_t>(virtual_key);
}

void WinInputSink::drain_thread_messages() {
  // SendInput gives this thread a message queue, and the system may post to
  // it (under Wine its display driver queues a notice for every pointer
  // move). Nothing here has a window, so the messages are only taken off:
  // unread, they would pile up for as long as the worker runs.
  if (++sends_since_drain_ < kSendsPerDrain) return;
  sends_since_drain_ = 0;
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

}  // namespace halvorine
