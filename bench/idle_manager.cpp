// What a manager costs in threads when it has nothing to do, for bench/run: prints the process's
// thread count before the manager, with the manager idle, at the busiest moment of a batch of
// the given URLs (when any), and once the manager is idle again, with how long that took.
//   bench_idle_manager TASK_THREAD_NUM ROOT_DIR [URL...]
// Output, one line: "before 1 idle 1 busiest 140 settled 1 after_ms 3100" (the last three only
// with URLs). ROOT_DIR is the storage root and save directory; it is not cleaned.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "zephyl/zephyl.h"

namespace {

int threadCount() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TASK_THREAD_NUM ROOT_DIR [URL...]\n", argv[0]);
    return 2;
  }
  const int before = threadCount();
  ZPSetting settings(std::string(argv[2]) + "/root", std::string(argv[2]) + "/save");
  settings.taskThreadNum = std::atoi(argv[1]);
  Zephyl manager(settings);
  const int idle = threadCount();
  std::printf("before %d idle %d", before, idle);
  if (argc > 3) {
    std::vector<ZPRequest> requests;
    for (int i = 3; i < argc; ++i) {
      ZPRequest request(argv[i]);
      request.outputType = ZPRequest::OUTPUT_MEMORY;
      requests.push_back(request);
    }
    ZPBatchRequest batch(requests);
    std::atomic<int> busiest{idle};
    batch.onRequestProgress = [&busiest](const ZPBatchRequest&, int, int64_t, int64_t, int) {
      int seen = busiest.load();
      const int now = threadCount();
      while (now > seen && !busiest.compare_exchange_weak(seen, now)) {
      }
    };
    int failed = 0;
    for (const ZPResponse& response : manager.batchExecute(batch)) {
      if (!response.isSuccess()) ++failed;
    }
    if (failed > 0) {
      std::fprintf(stderr, "%d of %d downloads failed\n", failed, argc - 3);
      return 1;
    }
    // Back within two threads of the idle count, or 30 s at most.
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(30);
    int settled = threadCount();
    while (settled > idle + 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      settled = threadCount();
    }
    const auto afterMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf(" busiest %d settled %d after_ms %lld", busiest.load(), settled,
                static_cast<long long>(afterMs.count()));
  }
  std::printf("\n");
  return 0;
}
