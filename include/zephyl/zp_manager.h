// Zephyl: the download manager. Thread-safe: any host thread may call any operation at once.
// Copies of a manager share one set of queues, tasks and threads; it ends with the last copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zephyl/export.h"
#include "zephyl/zp_log_level.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"
#include "zephyl/zp_setting.h"

namespace zephyl {
class TaskRegistry;
}

class ZEPHYL_EXPORT Zephyl {
 public:
  explicit Zephyl(const ZPSetting& setting);
  Zephyl(const Zephyl& other);
  Zephyl& operator=(const Zephyl& other);
  // When this is the last copy: runs every queued request to its end (onComplete included), then
  // stops the manager's threads.
  ~Zephyl();

  const ZPSetting& getSettings();
  // Empty when the manager works. Otherwise the reason why every request it is given fails with
  // RESULT_FAILED and CACHE_ERROR: another manager of the process uses the same storage root with
  // other cache limits (cachePolicy), which the root's managers must share. The root takes other
  // limits once every manager on it is destroyed.
  std::string getSetupError() const;

  // The process-wide instance the host installed with initGlobal; null before.
  static Zephyl* global();
  // Stores the pointer; the library never owns, creates or destroys the global instance.
  static void initGlobal(Zephyl* instance);
  // Threshold of the library's log, for the whole process; None (the initial value) silences it.
  static void setLogLevel(ZPLogLevel level);
  // Sends the library's log lines to callback instead of standard output, for the whole process
  // (an empty callback: standard output again). Each line comes whole (its text without time
  // prefix or newline), on the thread that logged it, never while that thread holds a lock of
  // the library: the callback may call the library. It must be thread-safe. What it throws is
  // dropped, and lines it causes itself on its own thread are not handed back to it. Once this
  // returns, no other thread still runs the callback it replaced. Any thread may call it.
  static void setLogCallback(std::function<void(ZPLogLevel, const std::string&)> callback);

  // Identity strings forwarded to the metrics library; set them before downloads start.
  static std::string gid;
  static std::string uid;

  // Downloads one request on the calling thread and returns its response; onComplete has run
  // exactly once before it returns.
  ZPResponse execute(ZPRequest request);
  // Queues a request (front when highPriority); its callbacks report the outcome.
  void enqueue(const ZPRequest& request);
  // Queues every request of the batch; the batch's callbacks report progress and completion.
  void batchEnqueue(const ZPBatchRequest& batch);
  // Queues the batch and waits for it; one response per request, in request order.
  std::vector<ZPResponse> batchExecute(const ZPBatchRequest& batch);

  void cancelAll();
  void cancelByRequest(int requestId);
  void cancelByUrl(const std::string& url);
  // The rate limit of all this manager's downloads together, in bytes per second (0 or less:
  // none); running transfers follow it within about a tenth of a second. getSettings keeps
  // reporting the value the manager was made with.
  void setMaxBytesPerSecond(int64_t bytesPerSecond);
  // The own rate limit of a queued or running request (see ZPRequest::maxBytesPerSecond); for a
  // request that joined another's download, the limit of that shared download. False when the
  // manager knows no queued or running request of that id.
  bool setRequestMaxBytesPerSecond(int requestId, int64_t bytesPerSecond);
  // Bytes stored and total length of the download of url, from a running download or from its
  // stored progress. Either pointer may be null.
  bool fetchProgress(const std::string& url, int64_t* downloaded, int64_t* total);
  void removeAllCache();
  void removeCacheByRequest(int requestId);
  void removeCacheByUrl(const std::string& url);

 private:
  std::function<std::string(const std::string&)> fileKeyFunction;
  std::shared_ptr<zephyl::TaskRegistry> registry;
  ZPSetting settings;

  static Zephyl* globalInstance;
};
