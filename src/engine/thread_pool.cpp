#include "engine/thread_pool.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "diagnostics/log.h"

namespace zephyl {
namespace {

// The queue of the pool whose worker loop runs on this thread; null on any other thread.
thread_local const void* currentPoolQueue = nullptr;

// Where the job running on this worker stands with its pool's slots.
enum class SlotState { kNone, kHeld, kReleased, kLent };
thread_local SlotState currentSlot = SlotState::kNone;

std::thread startStdThread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace

ThreadPool::Queue::Queue(Slots slots, size_t maxWorkers, std::chrono::milliseconds lifetime)
    : slotCount(slots.count > 0 ? static_cast<size_t>(slots.count) : 0),
      releasedLimit(slots.released > 0 ? static_cast<size_t>(slots.released) : 0),
      idleLifetime(std::max(lifetime, std::chrono::milliseconds(0))) {
  // Reserved first, so that a failing start can only be a refused thread, never a reallocation
  // that would leave started threads unowned.
  MutexLock lock(queueMutex);
  workers.reserve(maxWorkers);
}

bool ThreadPool::Queue::frontMayStart() const {
  return !tasks.empty() && (slotCount == 0 || slotsHeld + reclaiming < slotCount);
}

bool ThreadPool::Queue::retire(std::thread* previous) {
  const std::thread::id self = std::this_thread::get_id();
  for (std::thread& worker : workers) {
    if (worker.get_id() != self) continue;
    *previous = std::move(retired);
    retired = std::move(worker);
    // Moves only: nothing here allocates or throws.
    if (&worker != &workers.back()) worker = std::move(workers.back());
    workers.pop_back();
    return true;
  }
  return false;
}

ThreadPool::ThreadPool(int threadCount, Start start, ThreadStarter startThread, Slots slots,
                       std::chrono::milliseconds idleLifetime)
    : queue_(std::make_shared<Queue>(
          slots, threadCount > 0 ? static_cast<size_t>(threadCount) : 0,
          start == Start::kOnDemand ? idleLifetime : std::chrono::milliseconds(0))),
      maxWorkers_(threadCount > 0 ? static_cast<size_t>(threadCount) : 0),
      start_(start),
      startThread_(startThread ? std::move(startThread) : ThreadStarter(startStdThread)) {
  if (start_ != Start::kAllAtOnce) return;
  std::error_code refusal;
  size_t started = 0;
  {
    MutexLock lock(queue_->queueMutex);
    while (queue_->workers.size() < maxWorkers_ && startWorker(&refusal)) {
    }
    started = queue_->workers.size();
  }
  if (refusal) logRefusal(started, refusal);
}

bool ThreadPool::startWorker(std::error_code* refusal) {
  std::thread worker;
  try {
    worker = startThread_([queue = queue_] { workerLoop(queue); });
  } catch (const std::system_error& error) {
    *refusal = error.code();
    return false;
  } catch (const std::exception&) {
    // The thread's start-up state could not be allocated.
    *refusal = std::make_error_code(std::errc::not_enough_memory);
    return false;
  }
  if (!worker.joinable()) {
    *refusal = std::make_error_code(std::errc::resource_unavailable_try_again);
    return false;
  }
  queue_->workers.push_back(std::move(worker));  // within the reserved capacity: cannot throw
  return true;
}

void ThreadPool::logRefusal(size_t started, const std::error_code& refusal) const {
  ZP_LOG(Warn) << "ThreadPool started " << static_cast<int>(started) << " of "
               << static_cast<int>(maxWorkers_) << " threads: " << refusal.message();
}

ThreadPool::Posted ThreadPool::post(std::function<void()> job, std::error_code* reason) {
  std::error_code refusal;
  size_t started = 0;
  bool refused = false;
  {
    MutexLock lock(queue_->queueMutex);
    if (queue_->stop) return Posted::kStopped;
    // A job needs a worker. Refused starts are made up for here: a pool started all at once
    // tops up the workers it was refused, an on-demand pool starts one more while the queued
    // jobs outnumber the idle workers. A refused start leaves the job to the workers there are;
    // only a pool without any refuses the job.
    // A worker that is retiring has already left idle (and workers), under this lock: a job
    // queued now is never left to it.
    std::vector<std::thread>& workers = queue_->workers;
    const bool wantsWorker =
        workers.size() < maxWorkers_ && (workers.empty() || start_ == Start::kAllAtOnce ||
                                         queue_->tasks.size() + 1 > queue_->idle);
    if (wantsWorker) {
      while (startWorker(&refusal) && start_ == Start::kAllAtOnce &&
             workers.size() < maxWorkers_) {
      }
    }
    // Queued without a worker, the job would never run and its caller would wait forever.
    refused = workers.empty() && maxWorkers_ > 0;
    if (!refused) queue_->tasks.push(std::move(job));
    started = workers.size();
  }
  if (refusal) logRefusal(started, refusal);
  if (refused) {
    if (reason != nullptr) *reason = refusal;
    return Posted::kNoThread;
  }
  queue_->condition.notifyOne();
  return Posted::kQueued;
}

void ThreadPool::queueJob(std::function<void()> job) {
  std::error_code refusal;
  switch (post(std::move(job), &refusal)) {
    case Posted::kQueued:
      return;
    case Posted::kStopped:
      throw std::runtime_error("enqueue on stopped ThreadPool");
    case Posted::kNoThread:
      throw std::system_error(refusal, "ThreadPool could not start a worker thread");
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
  ZP_LOG(Warn) << "ThreadPool destroyed on one of its own workers: "
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
    MutexLock lock(queue_->queueMutex);
    queue_->stop = true;
  }
  queue_->condition.notifyAll();
}

void ThreadPool::joinWorkers() {
  MutexLock joinLock(joinMutex_);
  std::vector<std::thread> workers;
  std::thread retired;
  {
    // The pool has stopped, so no worker starts, or retires, after this.
    MutexLock lock(queue_->queueMutex);
    workers.swap(queue_->workers);
    retired = std::move(queue_->retired);
  }
  // Its loop has returned; it may still be joining the worker that retired before it.
  if (retired.joinable()) retired.join();
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
  MutexLock lock(queue_->queueMutex);
  return queue_->workers.size();
}

bool ThreadPool::releaseSlot() {
  if (!isWorkerThread() || currentSlot != SlotState::kHeld) return false;
  {
    MutexLock lock(queue_->queueMutex);
    if (queue_->releasedRunning >= queue_->releasedLimit) return false;
    --queue_->slotsHeld;
    ++queue_->releasedRunning;
  }
  currentSlot = SlotState::kReleased;
  // Workers wait for a job and a slot on one condition: any of them may take this slot.
  queue_->condition.notifyAll();
  return true;
}

bool ThreadPool::lendSlot() {
  if (!isWorkerThread() || currentSlot != SlotState::kHeld) return false;
  {
    MutexLock lock(queue_->queueMutex);
    --queue_->slotsHeld;
    ++queue_->lentRunning;
  }
  currentSlot = SlotState::kLent;
  queue_->condition.notifyAll();
  return true;
}

bool ThreadPool::takeSlotBack(const std::function<bool()>& stopWaiting) {
  if (!isWorkerThread() || currentSlot != SlotState::kLent) return true;
  bool taken = false;
  {
    MutexLock lock(queue_->queueMutex);
    ++queue_->reclaiming;
    while (queue_->slotsHeld >= queue_->slotCount) {
      // stopWaiting is the caller's flag, read without the queue lock's help: polled.
      if (stopWaiting && stopWaiting()) break;
      const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      (void)queue_->condition.waitUntil(queue_->queueMutex, slice);
    }
    --queue_->reclaiming;
    if (queue_->slotsHeld < queue_->slotCount) {
      --queue_->lentRunning;
      ++queue_->slotsHeld;
      taken = true;
    }
  }
  // A queued job held back by the wait may start now.
  if (!taken) queue_->condition.notifyAll();
  if (taken) currentSlot = SlotState::kHeld;
  return taken;
}

bool ThreadPool::isWorkerThread() const { return currentPoolQueue == queue_.get(); }

bool ThreadPool::isAnyWorkerThread() { return currentPoolQueue != nullptr; }

bool ThreadPool::Queue::awaitJob(std::thread* previous) {
  ++idle;
  const bool mayRetire = idleLifetime.count() > 0;
  auto retireAt = std::chrono::steady_clock::now() + idleLifetime;
  bool leaving = false;
  // A stopping pool still drains its queue: a worker ends only when nothing is left. Jobs
  // waiting for a slot keep it waiting too; the slots come free as the running jobs end.
  while (!frontMayStart() && !(stop && tasks.empty())) {
    if (!mayRetire) {
      condition.wait(queueMutex);
      continue;
    }
    if (condition.waitUntil(queueMutex, retireAt)) continue;
    // Idle for its whole lifetime. With jobs queued for a slot it stays: when a running job
    // gives its slot back early, the next job needs a free worker at once.
    if (!stop && tasks.empty() && retire(previous)) {
      leaving = true;
      break;
    }
    retireAt = std::chrono::steady_clock::now() + idleLifetime;
  }
  // Out of idle (and, when it retired, out of workers) in one hold of the lock: a job posted
  // after it retired finds it in neither, and starts a worker of its own.
  --idle;
  return !leaving && !tasks.empty();
}

void ThreadPool::workerLoop(const std::shared_ptr<Queue>& queue) {
  currentPoolQueue = queue.get();
  std::thread previous;  // set when this worker retires: the worker that retired before it
  for (;;) {
    std::function<void()> job;
    {
      MutexLock lock(queue->queueMutex);
      if (!queue->awaitJob(&previous)) break;
      job = std::move(queue->tasks.front());
      queue->tasks.pop();
      if (queue->slotCount > 0) {
        ++queue->slotsHeld;
        currentSlot = SlotState::kHeld;
      }
    }
    // Jobs never throw here: the packaged task stores any exception in the job's future.
    job();
    if (currentSlot == SlotState::kNone) continue;
    const bool freesSlot = currentSlot == SlotState::kHeld;
    {
      MutexLock lock(queue->queueMutex);
      if (freesSlot) {
        --queue->slotsHeld;
      } else if (currentSlot == SlotState::kLent) {
        --queue->lentRunning;
      } else {
        --queue->releasedRunning;
      }
    }
    currentSlot = SlotState::kNone;
    // This worker looks for its next job itself; the others may be waiting for the slot.
    if (freesSlot) queue->condition.notifyAll();
  }
  currentPoolQueue = nullptr;
  // The worker retired before this one has left its loop: the join is short. This one is joined
  // in turn by the next to retire, or by the pool.
  if (previous.joinable()) previous.join();
}

}  // namespace zephyl
