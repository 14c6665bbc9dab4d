// The view's stream thread: connects to the secure-video pipe (waiting for a
// worker that is not there yet and reconnecting when it goes), reads records,
// checks and decodes them, and leaves the newest picture in a StreamMailbox
// for the window's thread.
//
// Bad input ends the connection with one line on standard error: a record
// longer than kMaxVideoRecordBytes (nothing is allocated for it), bytes that
// are not H.264, or a stream larger than the view takes (sequence_problem).
// A record that does not decode is dropped with one line, and records are
// skipped until the next key frame. These lines come at most a few a second;
// the count of the rest follows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "client_pipe.h"
#include "view/picture.h"

namespace halvorine::client {

// What the window's thread reads: the newest picture and the stream's state.
class StreamMailbox {
 public:
  struct Counters {
    std::uint64_t records = 0;   // records received
    std::uint64_t bytes = 0;     // their payload bytes
    std::uint64_t pictures = 0;  // pictures decoded
    std::uint64_t replaced = 0;  // decoded but replaced by a newer one before shown
  };

  // `wake` is called (from the stream thread) after each change.
  void set_wake(std::function<void()> wake);
  void publish(Picture picture);
  void count_record(std::size_t bytes);
  void set_state(std::string state);

  std::optional<Picture> take_picture();
  std::string state() const;
  Counters counters() const;
  // The window is going: no more wake calls; the stream thread ends at its
  // next chance.
  void stop();
  bool stopped() const;
  // Sleeps until `duration` has passed or stop() was called.
  void pause(std::chrono::milliseconds duration);

 private:
  void notify(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  std::function<void()> wake_;
  std::optional<Picture> newest_;
  std::string state_ = "waiting for the worker";
  Counters counters_;
  bool stopped_ = false;
};

struct VideoStreamOptions {
  std::string path;
  ServerCheck check = ServerCheck::worker_only;
  std::chrono::milliseconds retry{1000};
};

// Starts the stream thread. It runs until the mailbox is stopped and is not
// joined: a read may block until the worker writes again, and the process
// may end first.
void start_video_stream(VideoStreamOptions options, std::shared_ptr<StreamMailbox> mailbox);

}  // namespace halvorine::client
