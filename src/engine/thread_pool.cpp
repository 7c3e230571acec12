#include "engine/thread_pool.h"

#include <system_error>

#include "diagnostics/log.h"

namespace zephyl {
namespace {

// The queue of the pool whose worker loop runs on this thread; null on any other thread.
thread_local const void* currentPoolQueue = nullptr;

}  // namespace

ThreadPool::ThreadPool(int threadCount) : queue_(std::make_shared<Queue>()) {
  if (threadCount <= 0) return;
  // Reserved first, so that a failing emplace_back can only be a refused thread, never a
  // reallocation that would leave started threads unowned.
  workers_.reserve(static_cast<size_t>(threadCount));
  for (int i = 0; i < threadCount; ++i) {
    try {
      workers_.emplace_back([queue = queue_] { workerLoop(queue); });
    } catch (const std::system_error& error) {
      ZP_LOG(3) << "ThreadPool started " << static_cast<int>(workers_.size()) << " of "
                << threadCount << " threads: " << error.what();
      break;
    }
  }
}

ThreadPool::~ThreadPool() {
  if (!isWorkerThread()) {
    shutdown();
    return;
  }
  // std::thread::join would refuse with resource_deadlock_would_occur, and a throwing
  // destructor ends in std::terminate (the remaining std::thread members are still joinable).
  // This worker is detached instead: it returns from its current job into workerLoop, which only
  // touches the shared queue, drains it and ends.
  requestStop();
  ZP_LOG(3) << "ThreadPool destroyed on one of its own workers: "
            << std::make_error_code(std::errc::resource_deadlock_would_occur).message()
            << "; that worker ends after its current job";
  joinWorkers();
}

void ThreadPool::shutdown() {
  requestStop();
  // A worker cannot wait for itself; the queue is still drained by the workers.
  if (isWorkerThread()) return;
  joinWorkers();
}

void ThreadPool::requestStop() {
  {
    std::lock_guard<std::mutex> lock(queue_->queueMutex);
    queue_->stop = true;
  }
  queue_->condition.notify_all();
}

void ThreadPool::joinWorkers() {
  std::lock_guard<std::mutex> lock(joinMutex_);
  const std::thread::id self = std::this_thread::get_id();
  for (std::thread& worker : workers_) {
    if (!worker.joinable()) continue;
    if (worker.get_id() == self) {
      worker.detach();
    } else {
      worker.join();
    }
  }
}

bool ThreadPool::isWorkerThread() const { return currentPoolQueue == queue_.get(); }

bool ThreadPool::isAnyWorkerThread() { return currentPoolQueue != nullptr; }

void ThreadPool::workerLoop(const std::shared_ptr<Queue>& queue) {
  currentPoolQueue = queue.get();
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(queue->queueMutex);
      queue->condition.wait(lock, [&queue] { return queue->stop || !queue->tasks.empty(); });
      // A stopping pool still drains its queue: a worker ends only when nothing is left.
      if (queue->stop && queue->tasks.empty()) return;
      job = std::move(queue->tasks.front());
      queue->tasks.pop();
    }
    // Jobs never throw here: the packaged task stores any exception in the job's future.
    job();
  }
}

}  // namespace zephyl
