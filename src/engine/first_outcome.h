// FirstOutcome: how the attempt's first run connected, handed from its worker to the planner's
// thread, which waits for it before any other run goes out. The first offer wins; once offered,
// the first run no longer takes the download over (the other runs may be running). Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

#include "engine/planned_run.h"
#include "zephyl/zp_response.h"

namespace zephyl {

class FirstOutcome {
 public:
  FirstOutcome() = default;
  FirstOutcome(const FirstOutcome&) = delete;
  FirstOutcome& operator=(const FirstOutcome&) = delete;

  // Called on the first run's worker.
  void offer(const ZPResponse& outcome) {
    offered_ = true;
    std::call_once(once_, [this, &outcome] { promise_.set_value(outcome); });
  }
  bool offered() const { return offered_.load(); }

  // Blocks until an outcome is offered or the first run is done. Every path that ends the first
  // run offers an outcome first; watching the run's own done signal as well guarantees the wait
  // ends even if one did not.
  void waitFor(const PlannedRun& first) {
    while (future_.wait_for(kPoll) != std::future_status::ready) {
      if (first.state.doneFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        return;
      }
    }
  }

  // An outcome was offered and it is a failure.
  bool failed() {
    return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
           future_.get().getResultCode() != ZPResponse::RESULT_SUCCESS;
  }

 private:
  static constexpr auto kPoll = std::chrono::milliseconds(20);

  std::atomic<bool> offered_{false};
  std::once_flag once_;
  std::promise<ZPResponse> promise_;
  std::shared_future<ZPResponse> future_ = promise_.get_future().share();
};

}  // namespace zephyl
