// How the worker's orderly stop reaches the input pipe server: the instance
// the server waits on or serves is closed, so its client's connection ends as
// if the client had hung up (the keys and buttons it holds are released),
// and the server returns instead of making a new instance. Runtime thread only.
#pragma once

#include "bin/worker/pipe/pipe_api.h"

namespace halvorine {

class InputStop {
 public:
  bool requested() const { return requested_; }

  void request() {
    requested_ = true;
    if (watched_) watched_->close();
  }

  // The instance to close on request(); nullptr when there is none.
  void watch(PipeInstance* instance) { watched_ = instance; }

 private:
  bool requested_ = false;
  PipeInstance* watched_ = nullptr;
};

}  // namespace halvorine
