// In-memory pipes, security and sleep for the pipe servers' logic tests.
//
// FakePipeApi hands out instances following a script, one entry per
// create_instance call; when the script is used up, the next instance waits
// for a client for ever, so a test runs the runtime until it is idle and then
// reads what happened. Everything runs on the test's thread.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bin/worker/pipe/async_sleep.h"
#include "bin/worker/pipe/client_trust.h"
#include "bin/worker/pipe/pipe_api.h"
#include "bin/worker/pipe/pipe_security.h"
#include "fake_clock.h"
#include "recording_logger.h"

namespace halvorine::testing {

using Bytes = std::vector<std::uint8_t>;

// One client as the server will see it.
struct FakeClient {
  Result<std::uint32_t> pid = 4242;  // what client_process_id reports
  Result<void> connect = {};      // outcome of wait_for_client
  std::vector<Bytes> chunks;      // one per read_some, in order
  Error end = Error::early_eof(); // what read_some reports after the chunks
  // Writes that succeed before every further one fails (nullopt: all succeed).
  std::optional<std::size_t> writes_before_failure;
  // After the chunks, a read waits until the client leaves (leave()) or the
  // instance is closed, instead of reporting `end` at once.
  bool stays = false;
};

// What happened to one created instance.
struct FakeInstanceRecord {
  std::string name;
  const PipeSecurity* security = nullptr;
  Bytes written;
  std::size_t write_calls = 0;
  bool closed = false;
  bool read_pending = false;  // a read waits for the client (stays)

  // The client leaves: a waiting read reports the end of the stream.
  void leave() {
    left = true;
    if (wake_reader) wake_reader->cancel();
  }
  bool left = false;
  asio::steady_timer* wake_reader = nullptr;  // set while a read waits
};

inline asio::awaitable<void> park_forever() {
  asio::steady_timer timer(co_await asio::this_coro::executor,
                           std::chrono::steady_clock::time_point::max());
  asio::error_code ignored;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

class FakePipeApi final : public PipeApi {
 public:
  // An Error entry makes that create_instance call fail.
  std::deque<Result<FakeClient>> script;
  std::vector<std::shared_ptr<FakeInstanceRecord>> instances;
  // When set, each create_instance call comes `step` after the last.
  FakeClock* clock = nullptr;
  std::chrono::milliseconds step{0};

  Result<std::unique_ptr<PipeInstance>> create_instance(std::string_view name,
                                                        const PipeSecurity* security) override {
    if (clock) clock->advance(step);
    std::optional<FakeClient> client;
    if (!script.empty()) {
      auto next = std::move(script.front());
      script.pop_front();
      if (!next) return std::unexpected(next.error());
      client = std::move(*next);
    }
    auto record = std::make_shared<FakeInstanceRecord>();
    record->name = std::string(name);
    record->security = security;
    instances.push_back(record);
    return std::make_unique<Instance>(std::move(client), record);
  }

 private:
  class Instance final : public PipeInstance {
   public:
    Instance(std::optional<FakeClient> client, std::shared_ptr<FakeInstanceRecord> record)
        : client_(std::move(client)), record_(std::move(record)) {}
    ~Instance() override { close(); }

    asio::awaitable<Result<void>> wait_for_client() override {
      if (!client_) co_await park_forever();
      co_return client_->connect;
    }
    asio::awaitable<Result<std::size_t>> read_some(std::span<std::uint8_t> buffer) override {
      if (next_chunk_ >= client_->chunks.size() && client_->stays && !record_->left &&
          !record_->closed) {
        asio::steady_timer wait(co_await asio::this_coro::executor, std::chrono::steady_clock::time_point::max());
        // Unregisters the timer however this frame ends (a runtime destroyed
        // with the read still waiting included).
        struct Registration {
          std::shared_ptr<FakeInstanceRecord> record;
          ~Registration() {
            record->wake_reader = nullptr;
            record->read_pending = false;
          }
        } registration{record_};
        record_->wake_reader = &wait;
        record_->read_pending = true;
        asio::error_code ignored;
        co_await wait.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        if (!registration.record->left) co_return std::unexpected(Error::os(995));  // closed: aborted
      }
      if (next_chunk_ >= client_->chunks.size()) co_return std::unexpected(client_->end);
      Bytes& chunk = client_->chunks[next_chunk_];
      const std::size_t take = std::min(buffer.size(), chunk.size() - offset_);
      std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(offset_), take, buffer.begin());
      offset_ += take;
      if (offset_ == chunk.size()) {
        ++next_chunk_;
        offset_ = 0;
      }
      co_return take;
    }
    asio::awaitable<Result<void>> write_all(std::span<const asio::const_buffer> buffers) override {
      ++record_->write_calls;
      if (client_->writes_before_failure && *client_->writes_before_failure == 0) {
        co_return std::unexpected(Error::os(232));
      }
      if (client_->writes_before_failure) --*client_->writes_before_failure;
      for (const auto& buffer : buffers) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer.data());
        record_->written.insert(record_->written.end(), bytes, bytes + buffer.size());
      }
      co_return Result<void>{};
    }
    void close() override {
      record_->closed = true;
      if (record_->wake_reader) record_->wake_reader->cancel();
    }
    Result<std::uint32_t> client_process_id() override { 
      if (!client_) return std::unexpected(Error::message("no client"));
      return client_->pid;
    }

   private:
    std::optional<FakeClient> client_;
    std::shared_ptr<FakeInstanceRecord> record_;
    std::size_t next_chunk_ = 0;
    std::size_t offset_ = 0;
  };
};

class FakePipeSecurity final : public PipeSecurity {
 public:
  explicit FakePipeSecurity(std::string sddl) : sddl_(std::move(sddl)) {}
  const std::string& sddl() const override { return sddl_; }

 private:
  std::string sddl_;
};

class FakeSecurityPlatform final : public PipeSecurityPlatform {
 public:
  std::optional<std::string> sid;
  bool conversion_succeeds = true;
  std::vector<std::string> converted;  // every SDDL given to make_descriptor

  std::optional<std::string> session_user_sid() override { return sid; }
  std::unique_ptr<PipeSecurity> make_descriptor(const std::string& sddl) override {
    converted.push_back(sddl);
    if (!conversion_succeeds) return nullptr;
    return std::make_unique<FakePipeSecurity>(sddl);
  }
};

// A file system for the client trust rule. Entries not listed are a trusted owner's that nobody else may change.
class FakeTrustPlatform final : public ClientTrustPlatform {
 public:
  bool windows = false;
  std::string worker;
  Result<std::string> client = std::string();
  std::map<std::string, Result<PathEntrySecurity>> entries;
  std::vector<std::string> looked_at;

  bool windows_paths() const override { return windows; }
  Result<std::string> worker_image() override { return worker; }
  Result<std::string> process_image(std::uint32_t /*pid*/) override { return client; }
  Result<PathEntrySecurity> entry_security(const std::string& path) override {
    looked_at.push_back(path);
    const auto found = entries.find(path);
    return found == entries.end() ? Result<PathEntrySecurity>(PathEntrySecurity{true, false, false}) : found->second;
  }
};

// Completes at once and remembers how long it was asked to sleep.
class FakeSleep final : public AsyncSleep {
 public:
  std::vector<std::chrono::milliseconds> pauses;
  asio::awaitable<void> sleep(std::chrono::milliseconds duration) override {
    pauses.push_back(duration);
    co_return;
  }
};

// The fakes a pipe server runs on. A test's runtime must be destroyed before
// them (a server parked in it still uses them): declare it after this base.
struct FakePipeWorld {
  FakePipeApi pipes;
  FakeSecurityPlatform security;
  FakeSleep sleep;
  RecordingLogger log;
  FakeClock clock;

  // The log after the two lines about the pipes' security.
  std::vector<std::string> served_lines() const {
    auto lines = log.lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(2, lines.size())));
    return lines;
  }
};

// Runs every handler that is ready until nothing is left to do right now.
inline void run_until_idle(asio::io_context& runtime) {
  runtime.restart();
  while (runtime.poll() > 0) {
  }
}

}  // namespace halvorine::testing
