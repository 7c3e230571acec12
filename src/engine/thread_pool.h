// ThreadPool: a bounded set of worker threads taking jobs from one FIFO queue, started all at
// once or one by one as queued jobs find no idle worker; an on-demand worker that stays idle for
// idleLifetime ends by itself, so an idle on-demand pool holds no thread. enqueue is thread-safe
// (also from the pool's own workers); shutdown and the destructor run every job already queued,
// then join the workers. Neither can wait on one of the pool's own workers: see shutdown and ~ThreadPool for
// what they do there instead. A job is queued only when a worker exists to run it.
// A pool may also bound the jobs in their main phase (see Slots): a job then starts only with a
// free slot, and may give it back for its tail (releaseSlot) so that the next job starts beside it.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <queue>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "diagnostics/annotated_mutex.h"

namespace zephyl {

class ThreadPool {
 public:
  // How the workers come to be.
  enum class Start {
    kAllAtOnce,  // every worker at construction
    kOnDemand,   // a new worker whenever a queued job finds none idle, up to threadCount; a
                 // worker idle for idleLifetime ends (the next job that needs one starts another)
  };

  // How long an on-demand worker waits for a job before it ends. Long enough that a steady
  // stream of downloads keeps its threads (starting one costs about a download's first byte on
  // loopback), short enough that a host which went quiet gets its threads back soon.
  static constexpr std::chrono::milliseconds kIdleWorkerLifetime{3000};

  // A bound on the jobs in their main phase, below what the workers allow. A job takes one of
  // count slots when it starts and holds it until it ends, unless it gives it back early with
  // releaseSlot: it then runs on in its tail while the next queued job takes the slot. At most
  // released jobs run in their tail at once; a release beyond that is refused and the job keeps
  // its slot. With count 0 (the default) jobs take no slot and start whenever a worker is free.
  // A pool with slots needs count + released workers to use them all.
  struct Slots {
    int count;
    int released;
  };

  // Starts one thread running body and returns it; throws std::system_error when the system
  // refuses a thread, as std::thread's constructor does. Called under the pool's queue lock.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  // Starts (or allows) threadCount workers; with 0 (or less) no job ever runs. Should the system
  // refuse a thread, the pool keeps the workers it got, logs a Warn line and tries again at later
  // enqueues (kAllAtOnce: every missing worker; kOnDemand: as jobs need them). startThread starts
  // every worker (empty: std::thread); tests hand in one that refuses. slots bounds the jobs in
  // their main phase (see Slots). idleLifetime applies to kOnDemand pools only (0 or less: their
  // workers never end by themselves); a pool started all at once keeps its workers.
  explicit ThreadPool(int threadCount, Start start = Start::kAllAtOnce,
                      ThreadStarter startThread = nullptr, Slots slots = Slots{0, 0},
                      std::chrono::milliseconds idleLifetime = kIdleWorkerLifetime);
  // Stops taking jobs, lets the workers run every queued job, joins every worker. Never throws.
  // Called on one of the pool's own workers, joining that worker is refused (it would be a
  // resource deadlock): a Warn line is logged, the other workers are joined, and that worker is
  // detached; it finishes its current job, runs whatever is still queued and ends by itself.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Stops taking jobs (enqueue throws from now on), waits until the workers have run every
  // queued job and joins them. Thread-safe and idempotent; concurrent callers all return after
  // the joins. On one of the pool's own workers it only stops the pool and returns at once,
  // since that worker cannot wait for itself; the joins are left to another call or the
  // destructor.
  void shutdown() EXCLUDES(joinMutex_, queue_->queueMutex);

  // What post did with a job.
  enum class Posted {
    kQueued,    // a worker will run it
    kStopped,   // shutdown or the destructor has begun: not queued
    kNoThread,  // the pool has no worker and the system refused to start one: not queued
  };

  // Queues job without a future, for callers that learn of its end by other means. Says whether
  // it was queued; for kNoThread *refusal (may be null) holds the system's reason. Throws only
  // what allocating the queue entry throws.
  Posted post(std::function<void()> job, std::error_code* refusal = nullptr)
      EXCLUDES(queue_->queueMutex);

  // Queues job(args...) and returns the future of its result; an exception thrown by the job is
  // stored in that future. Throws std::runtime_error("enqueue on stopped ThreadPool") once
  // shutdown or the destructor has begun, and std::system_error (the refusal's code, what()
  // beginning "ThreadPool could not start a worker thread") when the pool has no worker and the
  // system refuses to start one: the job is not queued then, since nothing would ever run it.
  // (std::system_error is a std::runtime_error: catch it first to tell the two apart.)
  // A pool made with 0 threads queues without a worker; those jobs are dropped when it is
  // destroyed and their futures hold std::future_error (broken_promise).
  template <typename Job, typename... Args>
  auto enqueue(Job&& job, Args&&... args)
      -> std::future<std::invoke_result_t<std::decay_t<Job>, std::decay_t<Args>...>>;

  // Workers running now: started, and neither ended for idleness nor handed to a join.
  size_t startedWorkers() const EXCLUDES(queue_->queueMutex);

  // Called by a job of this pool on its own worker: gives the job's slot back, so that the next
  // queued job may start while this one finishes its tail. True when it did; false when the
  // calling thread is no worker of this pool, its job holds no slot (the pool has none, or the
  // job gave it back already), or released jobs already run in their tail (the job then keeps
  // its slot to its end). Takes the queue lock, which comes after any lock the caller holds.
  bool releaseSlot() EXCLUDES(queue_->queueMutex);

  // Called by a job of this pool on its own worker before it waits with nothing to do (a pause,
  // or another job's end): lends the job's slot to the next queued job, beyond the bound of
  // releaseSlot. True when it did; false when the calling thread is no worker of this pool or its
  // job holds no slot. A job that goes on working afterwards takes a slot back first
  // (takeSlotBack); one that ends with its slot lent simply ends.
  bool lendSlot() EXCLUDES(queue_->queueMutex);
  // Called by a job whose slot is lent (see lendSlot): waits until a slot is free and takes it,
  // before any queued job may; true then, and when the job has no lent slot. stopWaiting (may be
  // empty), asked every tenth of a second, ends the wait: false, the slot stays lent and the job
  // goes on without one (a cancelled download, whose slot a job waiting for its end may hold).
  bool takeSlotBack(const std::function<bool()>& stopWaiting = nullptr)
      EXCLUDES(queue_->queueMutex);

  // True when the calling thread is one of this pool's workers.
  bool isWorkerThread() const;
  // True when the calling thread is a worker of any ThreadPool.
  static bool isAnyWorkerThread();

 private:
  // The queue and its lock, shared by the pool object and its workers. Workers hold their own
  // reference so that a worker which outlives the pool object (destroyed on that very worker)
  // still has a valid queue to drain.
  struct Queue {
    Queue(Slots slots, size_t maxWorkers, std::chrono::milliseconds idleLifetime);
    // The front job may start now: there is one, and a slot for it when the pool has slots
    // (a job taking its lent slot back comes first).
    bool frontMayStart() const REQUIRES(queueMutex);
    // Requires: queueMutex held, nothing queued, the pool not stopping. Moves the calling worker's
    // thread from workers to retired and hands the thread retired before it to *previous, which
    // the caller joins once it has let go of the lock. False (nothing moved) when the calling
    // thread is not among workers.
    bool retire(std::thread* previous) REQUIRES(queueMutex);
    // Requires: queueMutex held (released while waiting). Counted idle, waits until the front
    // job may start: true then. False when the calling worker is to end: the pool stopped with
    // nothing left, or the worker was idle for idleLifetime and retired (see retire).
    bool awaitJob(std::thread* previous) REQUIRES(queueMutex);

    // Set at construction.
    const size_t slotCount;  // 0: jobs take no slot
    const size_t releasedLimit;
    const std::chrono::milliseconds idleLifetime;  // 0: workers never retire

    // Taken after any lock of the pool's callers (releaseSlot runs under a download's execute
    // lock); nothing else is locked, and no job runs, while it is held.
    Mutex queueMutex;
    // With queueMutex: a job was queued, a slot came free, or stop was set.
    ConditionVariable condition;
    // Guarded by queueMutex.
    std::queue<std::function<void()>> tasks GUARDED_BY(queueMutex);  // oldest first
    bool stop GUARDED_BY(queueMutex) = false;                        // set by shutdown
    size_t idle GUARDED_BY(queueMutex) = 0;                          // workers waiting for a job
    size_t slotsHeld GUARDED_BY(queueMutex) = 0;                     // jobs running with their slot
    size_t releasedRunning GUARDED_BY(queueMutex) = 0;  // jobs running after releaseSlot
    size_t lentRunning GUARDED_BY(queueMutex) = 0;      // jobs running with their slot lent
    size_t reclaiming GUARDED_BY(queueMutex) = 0;       // jobs waiting in takeSlotBack
    // Started under the lock, handed to joinWorkers under it once the pool has stopped (so no
    // worker is started after that). Reserved for every worker at construction, so that neither
    // starting nor retiring a worker allocates. The workers live here, beside the queue, because
    // a retiring worker moves itself out.
    std::vector<std::thread> workers GUARDED_BY(queueMutex);
    // The last worker that ended for idleness, until the next one to retire (or the pool's
    // joinWorkers) joins it: a thread whose loop has returned, so joining it never waits long.
    std::thread retired GUARDED_BY(queueMutex);
  };

  static void workerLoop(const std::shared_ptr<Queue>& queue);
  // Queues a job through post; throws as enqueue says.
  void queueJob(std::function<void()> job) EXCLUDES(queue_->queueMutex);
  // Requires: queue_->queueMutex held. Starts one more worker; false, with the reason in *refusal,
  // when the system refuses.
  bool startWorker(std::error_code* refusal) REQUIRES(queue_->queueMutex);
  // The Warn line for a refused thread; called without the queue lock.
  void logRefusal(size_t started, const std::error_code& refusal) const
      EXCLUDES(queue_->queueMutex);
  void requestStop() EXCLUDES(queue_->queueMutex);
  // Joins every worker still joinable, except the calling one, which is detached.
  void joinWorkers() EXCLUDES(joinMutex_, queue_->queueMutex);

  // Set at construction.
  const std::shared_ptr<Queue> queue_;
  const size_t maxWorkers_;
  const Start start_;
  const ThreadStarter startThread_;

  // Serialises joining, so that concurrent shutdown calls never join one thread twice and all
  // return after the joins. Lock order: joinMutex_, then queueMutex.
  Mutex joinMutex_ ACQUIRED_BEFORE(queue_->queueMutex);
};

template <typename Job, typename... Args>
auto ThreadPool::enqueue(Job&& job, Args&&... args)
    -> std::future<std::invoke_result_t<std::decay_t<Job>, std::decay_t<Args>...>> {
  using Result = std::invoke_result_t<std::decay_t<Job>, std::decay_t<Args>...>;
  // The arguments are stored decayed (as std::bind would), matching how Result was computed.
  auto task = std::make_shared<std::packaged_task<Result()>>(
      [job = std::forward<Job>(job), argsTuple = std::tuple<std::decay_t<Args>...>(
                                         std::forward<Args>(args)...)]() mutable -> Result {
        return std::apply(std::move(job), std::move(argsTuple));
      });
  std::future<Result> result = task->get_future();
  queueJob([task]() { (*task)(); });
  return result;
}

}  // namespace zephyl
