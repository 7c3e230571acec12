#include "engine/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "diagnostics/log.h"
#include "support/thread_count.h"

namespace zephyl {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr seconds kWait{10};

// A door jobs wait at until the test opens it; every wait is bounded.
class Gate {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  bool waitOpen() {
    std::unique_lock<std::mutex> lock(mutex_);
    return opened_.wait_for(lock, kWait, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;  // guarded by mutex_
};

template <typename T>
bool isReady(std::future<T>& future, milliseconds timeout = kWait) {
  return future.wait_for(timeout) == std::future_status::ready;
}

// Polls condition every millisecond for at most kWait.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// Opens a gate when the test leaves its scope, so that a failed assertion never leaves jobs
// waiting at it while their pool is destroyed. Declare it after the pool.
class OpenOnExit {
 public:
  explicit OpenOnExit(Gate& gate) : gate_(gate) {}
  ~OpenOnExit() { gate_.open(); }
  OpenOnExit(const OpenOnExit&) = delete;
  OpenOnExit& operator=(const OpenOnExit&) = delete;

 private:
  Gate& gate_;
};

// Everything the jobs of a pool touch while that pool is destroyed on another thread (or on one
// of its own workers) lives here, on the heap and shared with the jobs: if destruction ever hung,
// the test reports it and returns, and the jobs still find their state.
struct DrainScene {
  std::unique_ptr<ThreadPool> pool;
  Gate gate;
  std::atomic<bool> refusalSeen{false};
  std::atomic<bool> lateJobRan{false};
  std::atomic<bool> wasWorker{false};
  std::mutex mutex;
  std::string refusalMessage;       // guarded by mutex
  std::vector<std::string> events;  // guarded by mutex

  void record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
};

// Destroys scene->pool on a detached thread of its own; the future becomes ready when the
// destructor has returned.
std::future<void> destroyInBackground(const std::shared_ptr<DrainScene>& scene) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([scene, done] {
    scene->pool.reset();
    done->set_value();
  }).detach();
  return finished;
}

class ThreadPoolTest : public ::testing::Test {
 protected:
  void TearDown() override { setLogThreshold(5); }
};

TEST_F(ThreadPoolTest, StartsJobsInQueueOrder) {
  Gate gate;
  std::mutex mutex;
  std::vector<int> started;  // guarded by mutex
  ThreadPool pool(1);
  OpenOnExit openOnExit(gate);
  // The single worker waits at the gate while every other job is queued behind it.
  auto blocker = pool.enqueue([&gate] { return gate.waitOpen(); });
  std::vector<std::future<void>> futures;
  futures.reserve(20);
  for (int i = 0; i < 20; ++i) {
    futures.push_back(pool.enqueue([&mutex, &started, i] {
      std::lock_guard<std::mutex> lock(mutex);
      started.push_back(i);
    }));
  }
  gate.open();
  ASSERT_TRUE(isReady(blocker));
  EXPECT_TRUE(blocker.get());
  for (auto& future : futures) ASSERT_TRUE(isReady(future));
  std::vector<int> expected(20);
  std::iota(expected.begin(), expected.end(), 0);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(started, expected);
}

TEST_F(ThreadPoolTest, RunsAtMostThreadCountJobsAtOnce) {
  constexpr int kThreads = 3;
  constexpr int kJobs = 8;
  Gate gate;
  std::atomic<int> active{0};
  std::atomic<int> startedCount{0};
  std::atomic<int> maxActive{0};
  ThreadPool pool(kThreads);
  OpenOnExit openOnExit(gate);
  std::vector<std::future<bool>> futures;
  futures.reserve(kJobs);
  for (int i = 0; i < kJobs; ++i) {
    futures.push_back(pool.enqueue([&] {
      const int now = ++active;
      ++startedCount;
      int seen = maxActive.load();
      while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
      }
      const bool opened = gate.waitOpen();
      --active;
      return opened;
    }));
  }
  // All workers busy: the pool must not start another job while they are.
  ASSERT_TRUE(eventually([&] { return startedCount.load() == kThreads; }));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(startedCount.load(), kThreads);
  EXPECT_EQ(active.load(), kThreads);
  gate.open();
  for (auto& future : futures) {
    ASSERT_TRUE(isReady(future));
    EXPECT_TRUE(future.get());
  }
  EXPECT_EQ(startedCount.load(), kJobs);
  EXPECT_EQ(maxActive.load(), kThreads);
}

TEST_F(ThreadPoolTest, OnDemandPoolStartsOnlyTheWorkersItsJobsNeed) {
  ThreadPool pool(4, ThreadPool::Start::kOnDemand);
  EXPECT_EQ(pool.startedWorkers(), 0u);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  auto recordThread = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
  };
  std::future<void> done = pool.enqueue(recordThread);
  ASSERT_TRUE(isReady(done));
  EXPECT_EQ(pool.startedWorkers(), 1u);

  // Jobs that block need a worker each, up to the bound.
  Gate gate;
  OpenOnExit openOnExit(gate);
  std::atomic<int> running{0};
  std::vector<std::future<void>> blocked;
  for (int i = 0; i < 6; ++i) {
    blocked.push_back(pool.enqueue([&] {
      ++running;
      recordThread();
      gate.waitOpen();
      --running;
    }));
  }
  ASSERT_TRUE(eventually([&] { return running.load() == 4; }));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(running.load(), 4);
  gate.open();
  for (auto& future : blocked) ASSERT_TRUE(isReady(future));
  EXPECT_EQ(threads.size(), 4u);
  EXPECT_EQ(pool.startedWorkers(), 4u);
}

// Idle on-demand workers end by themselves, for real (the system's own count of the process's
// threads goes back), and the pool starts workers again for the next jobs.
TEST_F(ThreadPoolTest, OnDemandWorkersIdleForTheirLifetimeEndAndComeBackForNewJobs) {
  // A runtime that keeps a helper thread of its own from the process's first thread on (as
  // ThreadSanitizer does) has started it by now, before the baseline.
  std::thread([] {}).join();
  const int baseline = test::processThreadCount();
  ASSERT_GT(baseline, 0);
  ThreadPool pool(3, ThreadPool::Start::kOnDemand, nullptr, ThreadPool::Slots{0, 0},
                  milliseconds(20));
  for (int round = 0; round < 2; ++round) {
    Gate gate;
    OpenOnExit openOnExit(gate);
    std::atomic<int> running{0};
    std::vector<std::future<void>> jobs;
    for (int i = 0; i < 3; ++i) {
      jobs.push_back(pool.enqueue([&] {
        ++running;
        gate.waitOpen();
      }));
    }
    ASSERT_TRUE(eventually([&] { return running.load() == 3; })) << "round " << round;
    EXPECT_GE(test::processThreadCount(), baseline + 3);
    gate.open();
    for (auto& job : jobs) ASSERT_TRUE(isReady(job));
    EXPECT_TRUE(eventually([&] { return pool.startedWorkers() == 0; })) << "round " << round;
    // The last worker to retire is joined by the pool, not by a successor; its thread has left
    // the system's list all the same.
    EXPECT_TRUE(eventually([&] { return test::processThreadCount() <= baseline; }))
        << "round " << round << ": " << test::processThreadCount() << " threads, " << baseline
        << " before the pool";
  }
}

// A worker whose lifetime runs out while a job is being posted either takes that job or is gone
// before the post looks for idle workers: no job is ever left queued without a worker.
TEST_F(ThreadPoolTest, JobPostedAsTheLastWorkerRetiresStillRuns) {
  ThreadPool pool(1, ThreadPool::Start::kOnDemand, nullptr, ThreadPool::Slots{0, 0},
                  milliseconds(1));
  for (int i = 0; i < 300; ++i) {
    // About the lifetime, so that posts land before, during and after the worker retires.
    std::this_thread::sleep_for(std::chrono::microseconds(500 + 5 * (i % 200)));
    std::future<int> job = pool.enqueue([i] { return i; });
    ASSERT_TRUE(isReady(job, seconds(5))) << "job " << i << " was left without a worker";
    EXPECT_EQ(job.get(), i);
  }
}

// With a job queued for a slot, an idle worker stays past its lifetime: when the running job
// gives its slot back for its tail, the queued one starts beside it at once.
TEST_F(ThreadPoolTest, WorkerWaitingWithAJobQueuedForASlotOutlivesItsLifetime) {
  ThreadPool pool(2, ThreadPool::Start::kOnDemand, nullptr, ThreadPool::Slots{1, 1},
                  milliseconds(10));
  Gate secondStarted;
  OpenOnExit openOnExit(secondStarted);
  std::atomic<bool> startedBesideFirst{false};
  std::future<void> first = pool.enqueue([&] {
    std::this_thread::sleep_for(milliseconds(150));  // many lifetimes of the idle worker
    ASSERT_TRUE(pool.releaseSlot());
    startedBesideFirst = secondStarted.waitOpen();
  });
  std::future<void> second = pool.enqueue([&] { secondStarted.open(); });
  ASSERT_TRUE(isReady(first));
  ASSERT_TRUE(isReady(second));
  EXPECT_TRUE(startedBesideFirst.load());
}

TEST_F(ThreadPoolTest, JobMayEnqueueFollowUpOnItsOwnPool) {
  // Chunk retries re-submit themselves from a worker; with one worker this deadlocks if a job
  // ran under the queue lock.
  std::promise<int> followUpDone;
  std::future<int> followUp = followUpDone.get_future();
  ThreadPool pool(1);
  auto first = pool.enqueue(
      [&pool, &followUpDone] { pool.enqueue([&followUpDone] { followUpDone.set_value(7); }); });
  ASSERT_TRUE(isReady(first));
  EXPECT_NO_THROW(first.get());
  ASSERT_TRUE(isReady(followUp));
  EXPECT_EQ(followUp.get(), 7);
}

// A pool of one slot with a worker to spare: the second job waits for the slot, not for a
// worker, and starts as soon as the first gives its slot back, while the first still runs.
TEST_F(ThreadPoolTest, SlottedJobStartsOnlyWhenTheSlotIsGivenBack) {
  ThreadPool pool(2, ThreadPool::Start::kAllAtOnce, nullptr, ThreadPool::Slots{1, 1});
  Gate release;
  Gate finish;
  OpenOnExit openRelease(release);
  OpenOnExit openFinish(finish);
  std::atomic<bool> secondStarted{false};
  std::promise<void> firstStarted;
  auto first = pool.enqueue([&] {
    firstStarted.set_value();
    release.waitOpen();
    const bool startedBefore = secondStarted.load();
    const bool released = pool.releaseSlot();
    const bool releasedTwice = pool.releaseSlot();
    const bool sawSecond = eventually([&] { return secondStarted.load(); });
    finish.waitOpen();
    return std::vector<bool>{startedBefore, released, releasedTwice, sawSecond};
  });
  auto second = pool.enqueue([&] {
    secondStarted = true;
    finish.waitOpen();
  });
  std::future<void> started = firstStarted.get_future();
  ASSERT_TRUE(isReady(started));
  // A worker is free, yet the slot is not.
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(secondStarted.load());
  EXPECT_FALSE(pool.releaseSlot()) << "the test's thread holds no slot";
  release.open();
  ASSERT_TRUE(eventually([&] { return secondStarted.load(); }));
  finish.open();
  ASSERT_TRUE(isReady(first));
  EXPECT_EQ(first.get(), (std::vector<bool>{false, true, false, true}));
  ASSERT_TRUE(isReady(second));
}

// A job that lends its slot while it waits lets the next job run with it, and takes a slot back
// only once one is free, before any queued job: the job queued behind waits for it.
TEST_F(ThreadPoolTest, LentSlotGoesToTheNextJobAndComesBackFirst) {
  ThreadPool pool(3, ThreadPool::Start::kAllAtOnce, nullptr, ThreadPool::Slots{1, 1});
  Gate secondEnds;
  OpenOnExit openSecond(secondEnds);
  std::atomic<bool> secondStarted{false};
  std::atomic<bool> backInSlot{false};
  std::atomic<bool> thirdStarted{false};
  auto first = pool.enqueue([&] {
    const bool lent = pool.lendSlot();
    const bool sawSecond = eventually([&] { return secondStarted.load(); });
    pool.takeSlotBack();  // waits for the second to end
    backInSlot = true;
    const bool thirdWaited = !thirdStarted.load();
    return std::vector<bool>{lent, sawSecond, thirdWaited, pool.lendSlot(), pool.lendSlot()};
  });
  auto second = pool.enqueue([&] {
    secondStarted = true;
    secondEnds.waitOpen();
  });
  ASSERT_TRUE(eventually([&] { return secondStarted.load(); }));
  auto third = pool.enqueue([&] { thirdStarted = true; });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(backInSlot.load()) << "the slot is the second job's until it ends";
  secondEnds.open();
  ASSERT_TRUE(isReady(first));
  // Lent again at its end (then refused: no slot held), the job's slot is counted out.
  EXPECT_EQ(first.get(), (std::vector<bool>{true, true, true, true, false}));
  ASSERT_TRUE(isReady(third));
  EXPECT_TRUE(thirdStarted.load());
  EXPECT_FALSE(pool.lendSlot()) << "the test's thread holds no slot";
}

// One job in its tail fills the place for that: the next job's release is refused and it keeps
// its slot (the job behind it waits), until the tail ends and a release goes through again.
TEST_F(ThreadPoolTest, ReleaseBeyondTheTailBoundKeepsTheSlot) {
  ThreadPool pool(3, ThreadPool::Start::kAllAtOnce, nullptr, ThreadPool::Slots{1, 1});
  Gate tailEnds;
  OpenOnExit openTail(tailEnds);
  std::atomic<bool> tailDone{false};
  std::atomic<bool> thirdStarted{false};
  auto tail = pool.enqueue([&] {
    const bool released = pool.releaseSlot();
    tailEnds.waitOpen();
    return released;
  });
  auto second = pool.enqueue([&] {
    const bool refused = !pool.releaseSlot();
    const bool thirdWaited = !thirdStarted.load();
    tailEnds.open();
    const bool tailEnded = eventually([&] { return tailDone.load(); });
    const bool thirdStillWaited = !thirdStarted.load();
    // The tail's worker counts it out just after its future is ready.
    const bool releasedLater = eventually([&] { return pool.releaseSlot(); });
    const bool sawThird = eventually([&] { return thirdStarted.load(); });
    return std::vector<bool>{refused,          thirdWaited,   tailEnded,
                             thirdStillWaited, releasedLater, sawThird};
  });
  auto third = pool.enqueue([&] { thirdStarted = true; });
  ASSERT_TRUE(isReady(tail));
  EXPECT_TRUE(tail.get());
  tailDone = true;
  ASSERT_TRUE(isReady(second));
  EXPECT_EQ(second.get(), std::vector<bool>(6, true));
  ASSERT_TRUE(isReady(third));
}

// Without slots there is nothing to give back.
TEST_F(ThreadPoolTest, PoolWithoutSlotsRefusesRelease) {
  ThreadPool pool(1);
  auto job = pool.enqueue([&pool] { return pool.releaseSlot(); });
  ASSERT_TRUE(isReady(job));
  EXPECT_FALSE(job.get());
}

TEST_F(ThreadPoolTest, DestructorRunsEveryJobAlreadyQueued) {
  std::atomic<int> ran{0};
  {
    ThreadPool pool(2);
    for (int i = 0; i < 50; ++i) {
      pool.enqueue([&ran] {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ++ran;
      });
    }
  }
  EXPECT_EQ(ran.load(), 50);
}

// The first job waits until the destructor (on another thread) has set stop, which it learns
// from enqueue refusing; the job queued behind it must still run, after that moment.
TEST_F(ThreadPoolTest, JobQueuedBeforeDestructionRunsAfterDestructorBegan) {
  auto scene = std::make_shared<DrainScene>();
  scene->pool = std::make_unique<ThreadPool>(1);
  ThreadPool* pool = scene->pool.get();
  auto first = pool->enqueue([scene, pool] {
    scene->gate.waitOpen();
    const bool refused = eventually([&] {
      try {
        pool->enqueue([] {});
        return false;
      } catch (const std::runtime_error&) {
        return true;
      }
    });
    scene->refusalSeen = refused;
    scene->record("stop seen");
  });
  auto queued = pool->enqueue([scene] {
    scene->record("queued job");
    scene->lateJobRan = true;
  });

  std::future<void> finished = destroyInBackground(scene);
  scene->gate.open();

  ASSERT_TRUE(isReady(finished)) << "ThreadPool destructor did not return";
  EXPECT_TRUE(scene->refusalSeen.load());
  EXPECT_TRUE(scene->lateJobRan.load());
  ASSERT_TRUE(isReady(queued, milliseconds(0)));
  std::lock_guard<std::mutex> lock(scene->mutex);
  EXPECT_EQ(scene->events, (std::vector<std::string>{"stop seen", "queued job"}));
}

TEST_F(ThreadPoolTest, EnqueueWhileDrainingThrowsStoppedError) {
  auto scene = std::make_shared<DrainScene>();
  scene->pool = std::make_unique<ThreadPool>(1);
  ThreadPool* pool = scene->pool.get();
  auto first = pool->enqueue([scene, pool] {
    scene->gate.waitOpen();
    eventually([&] {
      try {
        // Accepted while the destructor has not yet set stop; such jobs just run while draining.
        pool->enqueue([] {});
        return false;
      } catch (const std::runtime_error& error) {
        std::lock_guard<std::mutex> lock(scene->mutex);
        scene->refusalMessage = error.what();
        return true;
      }
    });
  });

  std::future<void> finished = destroyInBackground(scene);
  scene->gate.open();
  ASSERT_TRUE(isReady(finished)) << "ThreadPool destructor did not return";
  ASSERT_TRUE(isReady(first, milliseconds(0)));
  EXPECT_NO_THROW(first.get());
  std::lock_guard<std::mutex> lock(scene->mutex);
  EXPECT_EQ(scene->refusalMessage, "enqueue on stopped ThreadPool");
}

TEST_F(ThreadPoolTest, ShutdownRunsQueuedJobsThenRefusesNewOnes) {
  std::atomic<int> ran{0};
  ThreadPool pool(2);
  for (int i = 0; i < 30; ++i) pool.enqueue([&ran] { ++ran; });
  pool.shutdown();
  EXPECT_EQ(ran.load(), 30);
  EXPECT_THROW(pool.enqueue([] {}), std::runtime_error);
  pool.shutdown();  // a second call finds nothing left to join
}

// Two threads stopping one pool at once must not join a worker twice (that throws inside a
// thread, ending the program), and neither may return before the running job has ended.
TEST_F(ThreadPoolTest, ConcurrentShutdownsReturnOnlyAfterTheJoins) {
  auto scene = std::make_shared<DrainScene>();
  scene->pool = std::make_unique<ThreadPool>(2);
  auto blocked = scene->pool->enqueue([scene] {
    scene->gate.waitOpen();
    scene->lateJobRan = true;
  });
  std::vector<std::future<bool>> stoppers;
  for (int i = 0; i < 3; ++i) {
    auto done = std::make_shared<std::promise<bool>>();
    stoppers.push_back(done->get_future());
    std::thread([scene, done] {
      scene->pool->shutdown();
      done->set_value(scene->lateJobRan.load());
    }).detach();
  }
  std::this_thread::sleep_for(milliseconds(50));
  for (auto& stopper : stoppers) EXPECT_FALSE(isReady(stopper, milliseconds(0)));
  scene->gate.open();
  for (auto& stopper : stoppers) {
    ASSERT_TRUE(isReady(stopper)) << "shutdown did not return";
    EXPECT_TRUE(stopper.get()) << "shutdown returned before the running job ended";
  }
}

TEST_F(ThreadPoolTest, ShutdownOnOwnWorkerStopsWithoutWaiting) {
  auto scene = std::make_shared<DrainScene>();
  ThreadPool pool(1);
  auto stopping = pool.enqueue([&pool, scene] {
    pool.shutdown();
    try {
      pool.enqueue([] {});
    } catch (const std::runtime_error& error) {
      std::lock_guard<std::mutex> lock(scene->mutex);
      scene->refusalMessage = error.what();
    }
  });
  ASSERT_TRUE(isReady(stopping)) << "shutdown on a worker waited for itself";
  std::lock_guard<std::mutex> lock(scene->mutex);
  EXPECT_EQ(scene->refusalMessage, "enqueue on stopped ThreadPool");
}

TEST_F(ThreadPoolTest, WorkerThreadsKnowTheirPool) {
  ThreadPool pool(1);
  ThreadPool other(1);
  EXPECT_FALSE(ThreadPool::isAnyWorkerThread());
  EXPECT_FALSE(pool.isWorkerThread());
  auto seen = pool.enqueue([&pool, &other] {
    return std::vector<bool>{ThreadPool::isAnyWorkerThread(), pool.isWorkerThread(),
                             other.isWorkerThread()};
  });
  ASSERT_TRUE(isReady(seen));
  EXPECT_EQ(seen.get(), (std::vector<bool>{true, true, false}));
}

TEST_F(ThreadPoolTest, ThrowingJobReachesOnlyItsOwnFuture) {
  ThreadPool pool(1);
  auto before = pool.enqueue([] { return 1; });
  auto throwing = pool.enqueue([]() -> int { throw std::logic_error("job failed"); });
  // The single worker must survive the exception to run these.
  auto after = pool.enqueue([](int a, int b) { return a + b; }, 40, 2);
  ASSERT_TRUE(isReady(before));
  ASSERT_TRUE(isReady(throwing));
  ASSERT_TRUE(isReady(after));
  EXPECT_EQ(before.get(), 1);
  EXPECT_EQ(after.get(), 42);
  try {
    throwing.get();
    ADD_FAILURE() << "the job's exception did not reach its future";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "job failed");
  }
  auto later = pool.enqueue([] { return std::string("still running"); });
  ASSERT_TRUE(isReady(later));
  EXPECT_EQ(later.get(), "still running");
}

// Destroying a pool on one of its own workers must neither crash (a throwing destructor ends in
// std::terminate) nor hang (a worker cannot join itself): joining itself is refused with the
// resource-deadlock error, logged, and the other worker still drains the queue. The pool is
// deleted by its own job; all state lives in the shared scene and every wait is bounded.
TEST_F(ThreadPoolTest, DestroyedOnOwnWorkerRefusesSelfJoinAndDrainsQueue) {
  setLogThreshold(3);
  auto scene = std::make_shared<DrainScene>();
  auto* pool = new ThreadPool(2);
  testing::internal::CaptureStdout();
  auto destroying = pool->enqueue([scene, pool] {
    scene->gate.waitOpen();
    scene->wasWorker = pool->isWorkerThread();
    delete pool;
  });
  auto other = pool->enqueue([scene] {
    scene->gate.waitOpen();
    scene->lateJobRan = true;
  });
  scene->gate.open();
  const bool destroyed = isReady(destroying);
  const bool otherDone = isReady(other);
  const std::string output = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(destroyed) << "destruction on a worker did not return";
  EXPECT_NO_THROW(destroying.get());
  EXPECT_TRUE(scene->wasWorker.load());
  ASSERT_TRUE(otherDone);
  EXPECT_TRUE(scene->lateJobRan.load());
  EXPECT_NE(output.find("ThreadPool destroyed on one of its own workers: " +
                        std::make_error_code(std::errc::resource_deadlock_would_occur).message()),
            std::string::npos)
      << output;
}

TEST_F(ThreadPoolTest, SingleWorkerDestroyedByItsJobStillRunsJobsQueuedBehind) {
  auto scene = std::make_shared<DrainScene>();
  auto* pool = new ThreadPool(1);
  auto destroying = pool->enqueue([scene, pool] {
    scene->gate.waitOpen();
    delete pool;
  });
  // Queued behind the destroying job: only the detached worker itself can run it.
  auto behind = pool->enqueue([scene] { scene->lateJobRan = true; });
  scene->gate.open();
  ASSERT_TRUE(isReady(destroying)) << "destruction on a worker did not return";
  EXPECT_NO_THROW(destroying.get());
  ASSERT_TRUE(isReady(behind));
  EXPECT_TRUE(scene->lateJobRan.load());
}

TEST_F(ThreadPoolTest, PoolWithoutThreadsDestroysCleanlyAndDropsItsJobs) {
  std::atomic<bool> ran{false};
  std::future<void> dropped;
  {
    ThreadPool pool(0);
    EXPECT_FALSE(pool.isWorkerThread());
    dropped = pool.enqueue([&ran] { ran = true; });
    EXPECT_FALSE(isReady(dropped, milliseconds(20)));
  }
  ASSERT_TRUE(isReady(dropped, milliseconds(0)));
  try {
    dropped.get();
    ADD_FAILURE() << "a job of a pool without threads reported a result";
  } catch (const std::future_error& error) {
    EXPECT_EQ(error.code(), std::future_errc::broken_promise);
  }
  EXPECT_FALSE(ran.load());
}

// Starts threads the way the system does until grants run out, then refuses `refusals` times
// (negative: for ever) as pthread_create does when threads are exhausted, then starts again.
class RationedStarter {
 public:
  RationedStarter(int grants, int refusals) : grants_(grants), refusals_(refusals) {}

  ThreadPool::ThreadStarter starter() {
    return [this](std::function<void()> body) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (grants_ > 0) {
        --grants_;
      } else if (refusals_ != 0) {
        if (refusals_ > 0) --refusals_;
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "pthread_create");
      }
      return std::thread(std::move(body));
    };
  }

 private:
  std::mutex mutex_;
  int grants_;    // guarded by mutex_
  int refusals_;  // guarded by mutex_
};

struct RefusalCase {
  const char* name;
  ThreadPool::Start start;
  int grants;    // threads started before the refusals begin
  int refusals;  // negative: every later start is refused
  int refusedJobs;
  size_t workers;  // once every job was offered
};

void PrintTo(const RefusalCase& refusal, std::ostream* out) { *out << refusal.name; }

class ThreadRefusalTest : public testing::TestWithParam<RefusalCase> {};

// Every job offered either runs or is refused at once with a clear error; none waits in a queue
// that no worker will ever drain. Jobs hold their worker until all were offered, so an on-demand
// pool asks for a thread per job.
TEST_P(ThreadRefusalTest, EveryJobRunsOrIsRefusedAtOnce) {
  const RefusalCase& refusal = GetParam();
  constexpr int kThreads = 3;
  constexpr int kJobs = 5;
  RationedStarter rationed(refusal.grants, refusal.refusals);
  Gate gate;
  std::atomic<int> ran{0};
  int refused = 0;
  std::vector<std::future<void>> accepted;
  {
    ThreadPool pool(kThreads, refusal.start, rationed.starter());
    OpenOnExit openOnExit(gate);
    for (int i = 0; i < kJobs; ++i) {
      try {
        accepted.push_back(pool.enqueue([&] {
          gate.waitOpen();
          ++ran;
        }));
      } catch (const std::system_error& error) {
        ++refused;
        EXPECT_EQ(error.code(), std::errc::resource_unavailable_try_again);
        EXPECT_EQ(std::string(error.what()).rfind("ThreadPool could not start a worker thread", 0),
                  0u)
            << error.what();
      }
    }
    EXPECT_EQ(pool.startedWorkers(), refusal.workers);
    gate.open();
    for (auto& future : accepted) {
      ASSERT_TRUE(isReady(future)) << "an accepted job never ran";
      EXPECT_NO_THROW(future.get());
    }
  }
  EXPECT_EQ(refused, refusal.refusedJobs);
  EXPECT_EQ(ran.load(), kJobs - refusal.refusedJobs);
}

using Start = ThreadPool::Start;
const RefusalCase kRefusalCases[] = {
    {"AllAtOnceWithoutAnyThread", Start::kAllAtOnce, 0, -1, 5, 0},
    {"OnDemandWithoutAnyThread", Start::kOnDemand, 0, -1, 5, 0},
    {"AllAtOnceWithOneThreadOfThree", Start::kAllAtOnce, 1, -1, 0, 1},
    {"OnDemandWithOneThreadOfThree", Start::kOnDemand, 1, -1, 0, 1},
    // A passing shortage: the missing workers are started at the next job.
    {"AllAtOnceRefusedOnceAtStart", Start::kAllAtOnce, 0, 1, 0, 3},
    {"OnDemandRefusedOnceAtTheFirstJob", Start::kOnDemand, 0, 1, 1, 3},
};
INSTANTIATE_TEST_SUITE_P(Refusals, ThreadRefusalTest, testing::ValuesIn(kRefusalCases),
                         [](const testing::TestParamInfo<RefusalCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zephyl
