#include "engine/thread_pool.h"

#include <system_error>

#include "diagnostics/log.h"

namespace zephyl {
namespace {

// The queue of the pool whose worker loop runs on this thread; null on any other thread.
thread_local const void* currentPoolQueue = nullptr;

}  // namespace

ThreadPool::ThreadPool(int threadCount, Start start)
    : queue_(std::make_shared<Queue>()),
      maxWorkers_(threadCount > 0 ? static_cast<size_t>(threadCount) : 0),
      start_(start) {
  // Reserved first, so that a failing emplace_back can only be a refused thread, never a
  // reallocation that would leave started threads unowned.
  workers_.reserve(maxWorkers_);
  if (start_ != Start::kAllAtOnce) return;
  std::lock_guard<std::mutex> lock(queue_->queueMutex);
  while (workers_.size() < maxWorkers_ && startWorker()) {
  }
}

bool ThreadPool::startWorker() {
  try {
    workers_.emplace_back([queue = queue_] { workerLoop(queue); });
    return true;
  } catch (const std::system_error& error) {
    ZP_LOG(3) << "ThreadPool started " << static_cast<int>(workers_.size()) << " of "
              << static_cast<int>(maxWorkers_) << " threads: " << error.what();
    return false;
  }
}

void ThreadPool::queueJob(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(queue_->queueMutex);
    if (queue_->stop) throw std::runtime_error("enqueue on stopped ThreadPool");
    queue_->tasks.push(std::move(job));
    // More queued jobs than idle workers: one more worker, while the bound allows. A refused
    // thread leaves the job to the workers there are.
    if (start_ == Start::kOnDemand && queue_->tasks.size() > queue_->idle &&
        workers_.size() < maxWorkers_) {
      startWorker();
    }
  }
  queue_->condition.notify_one();
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
  std::lock_guard<std::mutex> joinLock(joinMutex_);
  std::vector<std::thread> workers;
  {
    // The pool has stopped, so no worker starts after this.
    std::lock_guard<std::mutex> lock(queue_->queueMutex);
    workers.swap(workers_);
  }
  const std::thread::id self = std::this_thread::get_id();
  for (std::thread& worker : workers) {
    if (worker.get_id() == self) {
      worker.detach();
    } else {
      worker.join();
    }
  }
}

size_t ThreadPool::startedWorkers() const {
  std::lock_guard<std::mutex> lock(queue_->queueMutex);
  return workers_.size();
}

bool ThreadPool::isWorkerThread() const { return currentPoolQueue == queue_.get(); }

bool ThreadPool::isAnyWorkerThread() { return currentPoolQueue != nullptr; }

void ThreadPool::workerLoop(const std::shared_ptr<Queue>& queue) {
  currentPoolQueue = queue.get();
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(queue->queueMutex);
      ++queue->idle;
      queue->condition.wait(lock, [&queue] { return queue->stop || !queue->tasks.empty(); });
      --queue->idle;
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
