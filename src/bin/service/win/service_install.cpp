#include "bin/service/win/service_install.h"

#include <cstdio>
#include <string>

#include <fmt/format.h>

#include "bin/service/win/console_worker_host.h"
#include "bin/service/win/service_handle.h"
#include "bin/service/win/service_names.h"
#include "common/error.h"
#include "common/utf16.h"
#include "common/win/win_sdk.h"

namespace halvorine {
namespace {

// Recovery: the service control manager restarts a service that dies, 5 s
// later, every time; the count of failures is reset after a day.
constexpr DWORD kRecoveryDelayMs = 5000;
constexpr DWORD kRecoveryResetSeconds = 24 * 60 * 60;
// How long uninstall waits for the service to stop.
constexpr int kStopWaitTenths = 300;
constexpr char kAlreadyInstalled[] =
    "the service HalvorineWorker already exists; to replace it run \"halvorine-service uninstall\" first";

std::string utf8(const std::wstring& text) {
  return utf16_to_utf8_lossy(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

void say(const std::string& text) { std::fputs((text + "\n").c_str(), stdout); }

int fail(int code, const std::string& text) {
  std::fputs(("halvorine-service: " + text + "\n").c_str(), stderr);
  return code;
}

int fail_os(const char* step, DWORD error) {
  if (error == ERROR_ACCESS_DENIED) {
    return fail(kCommandNeedsAdministrator,
                fmt::format("{}: access denied: run this from a prompt started as administrator", step));
  }
  return fail(kCommandFailed, fmt::format("{}: {}", step, Error::os(static_cast<int>(error)).text()));
}

}  // namespace

int install_service() {
  const auto folder = own_folder();
  if (!folder) return fail(kCommandFailed, folder.error().text());
  std::wstring image(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, image.data(), static_cast<DWORD>(image.size()));
  if (length == 0 || length >= image.size()) return fail_os("GetModuleFileNameW", GetLastError());
  image.resize(length);

  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return fail_os("OpenSCManagerW", GetLastError());
  // CreateServiceW refuses a name in use, but Wine's does not: asked first.
  if (UniqueServiceHandle(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS))) {
    return fail(kCommandWrongState, kAlreadyInstalled);
  }
  const std::wstring command = L"\"" + image + L"\" run";
  // No account given: LocalSystem.
  const UniqueServiceHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName,
                                                   SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                   SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                                   nullptr, nullptr));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS || error == ERROR_DUPLICATE_SERVICE_NAME) {
      return fail(kCommandWrongState, kAlreadyInstalled);
    }
    return fail_os("CreateServiceW", error);
  }

  // A service half set up is removed again: install is all or nothing.
  const auto undo = [&](const char* step) {
    const DWORD error = GetLastError();
    DeleteService(service.get());
    return fail_os(step, error);
  };
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kServiceDescription)};
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
    return undo("ChangeServiceConfig2W(description)");
  }
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRecoveryDelayMs},
                          {SC_ACTION_RESTART, kRecoveryDelayMs},
                          {SC_ACTION_RESTART, kRecoveryDelayMs}};
  SERVICE_FAILURE_ACTIONSW recovery{};
  recovery.dwResetPeriod = kRecoveryResetSeconds;
  recovery.cActions = 3;
  recovery.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    return undo("ChangeServiceConfig2W(failure actions)");
  }

  say(fmt::format(
      "installed the service HalvorineWorker (\"Halvorine worker\"): LocalSystem, automatic start, restarted on "
      "failure; it runs {} in the active console session",
      utf8((*folder / kWorkerFileName).native())));
  say("start it now with: sc start HalvorineWorker");
  return kCommandDone;
}

int uninstall_service() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail_os("OpenSCManagerW", GetLastError());
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
      return fail(kCommandWrongState, "the service HalvorineWorker is not installed");
    }
    return fail_os("OpenServiceW", error);
  }

  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    for (int i = 0; i < kStopWaitTenths && status.dwCurrentState != SERVICE_STOPPED; ++i) {
      Sleep(100);
      if (!QueryServiceStatus(service.get(), &status)) break;
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
      return fail(kCommandFailed, "the service HalvorineWorker did not stop within 30 s; it was not removed");
    }
    say("stopped the service HalvorineWorker (and its worker)");
  } else if (const DWORD error = GetLastError(); error != ERROR_SERVICE_NOT_ACTIVE) {
    return fail_os("ControlService(stop)", error);
  }

  if (!DeleteService(service.get())) {
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
      return fail(kCommandWrongState, "the service HalvorineWorker is already being removed");
    }
    return fail_os("DeleteService", error);
  }
  say("removed the service HalvorineWorker");
  return kCommandDone;
}

}  // namespace halvorine
