#include "pelvar/pelvar.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "annotated_locks/annotated_mutex.h"

std::string Pelvar::gid;
std::string Pelvar::globalUid;

struct PelvarRequest {
  std::string type;
  std::string body;
};

PelvarResponse::PelvarResponse(bool success, std::string message)
    : success_(success), message_(std::move(message)) {}

bool PelvarResponse::isSuccess() const { return success_; }

const std::string& PelvarResponse::message() const { return message_; }

namespace {

// The annotated mutex: a clang build with -Wthread-safety checks every GUARDED_BY member against
// the locks held.
using annotated_locks::ConditionVariable;
using annotated_locks::Mutex;
using annotated_locks::MutexLock;

// Set on a delivery thread, which must neither wait for nor stop itself.
thread_local bool onDeliveryThread = false;

struct Upload {
  std::string type;
  std::string body;
  PelvarCallback callback;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string errnoText(int error) { return std::generic_category().message(error); }

// The metrics object behind Pelvar_Global: one delivery thread working through a queue.
// submit and waitDelivered are thread-safe; stop must not run on the delivery thread.
class PelvarService final : public Pelvar {
 public:
  // Starts the delivery thread; throws std::system_error when the system refuses it.
  explicit PelvarService(PelvarConfig config);
  ~PelvarService() { stop(); }
  PelvarService(const PelvarService&) = delete;
  PelvarService& operator=(const PelvarService&) = delete;

  // Queues an upload; false once stopping.
  bool submit(Upload upload) EXCLUDES(mutex_);
  // True when the queue is empty and no delivery runs, within timeout.
  bool waitDelivered(std::chrono::milliseconds timeout) EXCLUDES(mutex_);
  // Refuses new uploads, delivers the queued ones, joins the delivery thread. Idempotent.
  void stop() EXCLUDES(mutex_);

 private:
  void run() EXCLUDES(mutex_);
  PelvarResponse deliver(const Upload& upload) const;

  // Set at construction.
  const PelvarConfig config_;

  Mutex mutex_;
  ConditionVariable wake_;  // with mutex_: an upload was queued, or stopping was set
  ConditionVariable idle_;  // with mutex_: the queue ran empty with no delivery in progress
  // Guarded by mutex_.
  std::deque<Upload> queue_ GUARDED_BY(mutex_);  // oldest first
  bool delivering_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;

  std::thread worker_;  // started last, once every member above exists
};

// Process-wide state. Lock order: Library::mutex is never held while a service's thread is
// joined, since that thread takes it to keep its records.
struct Library {
  Mutex mutex;
  // Guarded by mutex.
  std::shared_ptr<PelvarService> service GUARDED_BY(mutex);  // null when not initialised
  std::vector<PelvarRecord> uploaded GUARDED_BY(mutex);

  // At process exit: deliver what is pending and join the delivery thread, so that it neither
  // leaks nor runs on into destroyed state.
  ~Library() {
    std::shared_ptr<PelvarService> last;
    {
      MutexLock lock(mutex);
      last = std::move(service);
    }
    if (last) last->stop();
  }
};

Library& library() {
  static Library instance;
  return instance;
}

void keepRecord(const Upload& upload) {
  Library& lib = library();
  MutexLock lock(lib.mutex);
  lib.uploaded.push_back(PelvarRecord{upload.type, upload.body});
}

PelvarService::PelvarService(PelvarConfig config)
    : config_(std::move(config)), worker_([this] { run(); }) {}

bool PelvarService::submit(Upload upload) {
  {
    MutexLock lock(mutex_);
    if (stopping_) return false;
    queue_.push_back(std::move(upload));
  }
  wake_.notifyOne();
  return true;
}

bool PelvarService::waitDelivered(std::chrono::milliseconds timeout) {
  MutexLock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!queue_.empty() || delivering_) {
    if (!idle_.waitUntil(mutex_, deadline)) return queue_.empty() && !delivering_;
  }
  return true;
}

void PelvarService::stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notifyAll();
  // Pelvar_Shutdown refuses to run on the delivery thread, and the last reference to a service
  // is always dropped by a thread that joined it or never was it, so this is never a self-join.
  if (worker_.joinable()) worker_.join();
}

void PelvarService::run() {
  onDeliveryThread = true;
  MutexLock lock(mutex_);
  for (;;) {
    while (!stopping_ && queue_.empty()) wake_.wait(mutex_);
    if (queue_.empty()) break;  // stopping, and everything queued has been delivered
    Upload upload = std::move(queue_.front());
    queue_.pop_front();
    delivering_ = true;
    lock.unlock();

    PelvarResponse response = deliver(upload);
    if (upload.callback != nullptr) {
      try {
        upload.callback(response);
      } catch (...) {
        // A throwing callback must not end the delivery thread (and with it the process).
      }
    }

    lock.lock();
    delivering_ = false;
    if (queue_.empty()) idle_.notifyAll();
  }
  idle_.notifyAll();
}

// Accepts a body that is one JSON value; appends it re-printed on one line when configured.
PelvarResponse PelvarService::deliver(const Upload& upload) const {
  cJSON* parsed = cJSON_ParseWithOpts(upload.body.c_str(), nullptr, /*require_null_terminated=*/1);
  if (parsed == nullptr) return PelvarResponse(false, "body is not JSON");
  char* compact = cJSON_PrintUnformatted(parsed);
  cJSON_Delete(parsed);
  if (compact == nullptr) return PelvarResponse(false, "out of memory");
  std::string line(compact);
  cJSON_free(compact);
  line.push_back('\n');

  if (!config_.jsonLinesPath.empty()) {
    const std::string& path = config_.jsonLinesPath;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "ab"));
    if (!file) return PelvarResponse(false, "cannot open " + path + ": " + errnoText(errno));
    const bool written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size();
    const int writeError = errno;
    // Closed here rather than by the owner, to learn whether the data really reached the file.
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
      return PelvarResponse(
          false, "cannot write " + path + ": " + errnoText(written ? errno : writeError));
    }
  }
  keepRecord(upload);
  return PelvarResponse(true, "{\"code\":0}");
}

}  // namespace

bool Pelvar_Init(const PelvarConfig& config) {
  Library& lib = library();
  MutexLock lock(lib.mutex);
  if (lib.service) return false;
  try {
    lib.service = std::make_shared<PelvarService>(config);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool Pelvar_Shutdown() {
  if (onDeliveryThread) return false;
  Library& lib = library();
  std::shared_ptr<PelvarService> service;
  {
    MutexLock lock(lib.mutex);
    service = std::move(lib.service);
  }
  if (service) service->stop();
  return true;
}

Pelvar* Pelvar_Global() {
  Library& lib = library();
  MutexLock lock(lib.mutex);
  return lib.service.get();
}

PelvarRequest* PelvarRequest_Create(const char* type, const char* body) {
  try {
    return new PelvarRequest{type != nullptr ? type : "", body != nullptr ? body : ""};
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void PelvarRequest_Destroy(PelvarRequest* request) { delete request; }

void Pelvar_UploadASync(Pelvar* pelvar, PelvarRequest* request, PelvarCallback callback) {
  if (pelvar == nullptr || request == nullptr) return;
  Upload upload{request->type, request->body, callback};
  std::shared_ptr<PelvarService> service;
  {
    Library& lib = library();
    MutexLock lock(lib.mutex);
    // A pointer from before a shutdown is never dereferenced: it is only compared.
    if (static_cast<Pelvar*>(lib.service.get()) != pelvar) return;
    service = lib.service;
  }
  service->submit(std::move(upload));
}

bool Pelvar_WaitDelivered(int timeoutMs) {
  std::shared_ptr<PelvarService> service;
  {
    Library& lib = library();
    MutexLock lock(lib.mutex);
    service = lib.service;
  }
  if (!service) return true;
  // A callback waiting for its own delivery to end would only wait out the time-out.
  if (onDeliveryThread) return false;
  return service->waitDelivered(std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs));
}

std::vector<PelvarRecord> Pelvar_Uploaded() {
  Library& lib = library();
  MutexLock lock(lib.mutex);
  return lib.uploaded;
}

void Pelvar_ClearUploaded() {
  Library& lib = library();
  MutexLock lock(lib.mutex);
  lib.uploaded.clear();
}
