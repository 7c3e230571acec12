// ChunkWorkers: what chunk transfers run on, shared by the downloads of one manager (or owned by
// one download): one transfer loop (a libcurl multi handle on one thread, keeping the connections
// for every download) and a small pool of disk workers, on which received bytes are stored and
// the planner's and the host's callbacks run, so that the loop never waits for them.
// Thread-safe. Must not be destroyed on the loop thread.
#pragma once

#include <memory>

#include "engine/thread_pool.h"
#include "engine/transfer_loop.h"

namespace zephyl {

class ChunkWorkers {
 public:
  // At most transferCount transfers at once (at least one); the loop thread and the disk workers
  // start as work needs them and the workers end after a while idle.
  explicit ChunkWorkers(int transferCount);
  // Stops the loop, then joins the disk workers after they ran every queued job.
  ~ChunkWorkers();
  ChunkWorkers(const ChunkWorkers&) = delete;
  ChunkWorkers& operator=(const ChunkWorkers&) = delete;

  // A transfer keeps at most one write in flight, so a write that blocks (a host callback, a
  // stream's range waiting for the bytes before it) holds up its own transfer and one worker.
  // Stores are short, so a few workers serve every transfer; the pool may still grow to one per
  // transfer, so that writes waiting on each other (the ranges of a stream) always find a worker
  // for the one they wait for.

  TransferLoop& loop() { return *loop_; }
  ThreadPool& disk() { return *disk_; }

 private:
  // The disk pool outlives the loop: a transfer the loop ends hands its last bytes to it.
  std::unique_ptr<ThreadPool> disk_;
  std::unique_ptr<TransferLoop> loop_;
};

}  // namespace zephyl
