// The worker as the service runs it: halvorine-worker.exe from the service's
// own folder, as SYSTEM in a given session (the service's token duplicated,
// its session id set), on winsta0\default, inside a job object that ends it
// when the job's last handle closes, so a service that dies takes its worker
// with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "bin/service/worker_host.h"
#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace halvorine {

inline constexpr wchar_t kWorkerFileName[] = L"halvorine-worker.exe";

// The folder of the running executable (never the current directory).
Result<std::filesystem::path> own_folder();

class ConsoleWorkerHost final : public WorkerHost {
 public:
  explicit ConsoleWorkerHost(std::filesystem::path worker) : worker_(std::move(worker)) {}

  std::optional<std::uint32_t> active_console_session() override;
  Result<std::uint32_t> start_worker(std::uint32_t session) override;
  std::optional<std::uint32_t> reap_worker() override;
  Result<std::uint32_t> end_worker() override;

  // The running worker's process, signalled when it ends; null when none runs.
  HANDLE worker_process() const { return process_.get(); }

 private:
  std::filesystem::path worker_;
  UniqueHandle job_;
  UniqueHandle process_;
};

}  // namespace halvorine
