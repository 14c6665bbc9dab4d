#include "bin/service/win/console_worker_host.h"

#include <string>
#include <utility>

namespace halvorine {
namespace {

// The exit code a worker ended by the service gets.
constexpr UINT kEndedByServiceExitCode = 1;
// How long an ended worker may take to go (termination is immediate; this
// only bounds a system that does not answer).
constexpr DWORD kEndWaitMs = 5000;

// SetTokenInformation(TokenSessionId) needs SeTcbPrivilege enabled in the
// caller's token; LocalSystem holds it, and usually enabled already.
void enable_tcb_privilege() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  if (!LookupPrivilegeValueW(nullptr, L"SeTcbPrivilege", &privileges.Privileges[0].Luid)) return;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
}

// The service's own token as a primary token for `session`.
Result<UniqueHandle> token_for_session(std::uint32_t session) {
  UniqueHandle own;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.put())) {
    return std::unexpected(Error::last_os().context("OpenProcessToken"));
  }
  UniqueHandle primary;
  constexpr DWORD kAccess = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT |
                            TOKEN_ADJUST_SESSIONID;
  if (!DuplicateTokenEx(own.get(), kAccess, nullptr, SecurityImpersonation, TokenPrimary, primary.put())) {
    return std::unexpected(Error::last_os().context("DuplicateTokenEx"));
  }
  enable_tcb_privilege();
  DWORD id = session;
  if (!SetTokenInformation(primary.get(), TokenSessionId, &id, sizeof id)) {
    return std::unexpected(Error::last_os().context("SetTokenInformation(TokenSessionId)"));
  }
  return primary;
}

// A job that ends everything in it when its last handle closes.
Result<UniqueHandle> kill_on_close_job() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return std::unexpected(Error::last_os().context("CreateJobObjectW"));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return std::unexpected(Error::last_os().context("SetInformationJobObject"));
  }
  return job;
}

}  // namespace

Result<std::filesystem::path> own_folder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0) return std::unexpected(Error::last_os().context("GetModuleFileNameW"));
  if (length >= path.size()) return std::unexpected(Error::message("GetModuleFileNameW: path too long"));
  path.resize(length);
  return std::filesystem::path(path).parent_path();
}

std::optional<std::uint32_t> ConsoleWorkerHost::active_console_session() {
  const DWORD session = WTSGetActiveConsoleSessionId();
  if (session == 0xFFFFFFFF) return std::nullopt;
  return session;
}

Result<std::uint32_t> ConsoleWorkerHost::start_worker(std::uint32_t session) {
  auto token = token_for_session(session);
  if (!token) return std::unexpected(std::move(token.error()));
  auto job = kill_on_close_job();
  if (!job) return std::unexpected(std::move(job.error()));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  wchar_t desktop[] = L"winsta0\\default";
  startup.lpDesktop = desktop;
  // The image by its full path (no search), quoted as its own first argument.
  const std::wstring image = worker_.native();
  std::wstring command = L"\"" + image + L"\"";
  const std::wstring folder = worker_.parent_path().native();
  PROCESS_INFORMATION process{};
  // Suspended until it is in the job: it must not run, or start anything,
  // outside it. No handles inherited; no console (the worker has nothing to
  // show on one).
  if (!CreateProcessAsUserW(token->get(), image.c_str(), command.data(), nullptr, nullptr, FALSE,
                            CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process)) {
    return std::unexpected(Error::last_os().context("CreateProcessAsUserW"));
  }
  UniqueHandle process_handle(process.hProcess);
  const UniqueHandle thread(process.hThread);
  if (!AssignProcessToJobObject(job->get(), process_handle.get())) {
    const Error error = Error::last_os().context("AssignProcessToJobObject");
    TerminateProcess(process_handle.get(), kEndedByServiceExitCode);
    return std::unexpected(error);
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    // Closing the job ends it.
    return std::unexpected(Error::last_os().context("ResumeThread"));
  }
  job_ = std::move(*job);
  process_ = std::move(process_handle);
  return static_cast<std::uint32_t>(process.dwProcessId);
}

std::optional<std::uint32_t> ConsoleWorkerHost::reap_worker() {
  if (!process_ || WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(process_.get(), &code)) code = 0xFFFFFFFF;
  process_.reset();
  job_.reset();  // and whatever the worker may have left in it
  return code;
}

Result<std::uint32_t> ConsoleWorkerHost::end_worker() {
  Result<std::uint32_t> result = std::unexpected(Error::message("no worker"));
  if (process_) {
    if (!TerminateJobObject(job_.get(), kEndedByServiceExitCode)) {
      result = std::unexpected(Error::last_os().context("TerminateJobObject"));
    } else if (WaitForSingleObject(process_.get(), kEndWaitMs) != WAIT_OBJECT_0) {
      result = std::unexpected(Error::message("the worker did not end in time"));
    } else if (DWORD code = 0; GetExitCodeProcess(process_.get(), &code)) {
      result = code;
    } else {
      result = std::unexpected(Error::last_os().context("GetExitCodeProcess"));
    }
  }
  // Closing the job ends the worker if nothing above did.
  process_.reset();
  job_.reset();
  return result;
}

}  // namespace halvorine
