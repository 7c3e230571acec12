// libpelvar: the performance-metrics library that libzephyl hands its download records to. This
// is a small stand-in with the same calls: it keeps what it receives (for tests and tools) and
// can append each record as one JSON line to a file, instead of sending it anywhere.
// Thread-safe: every call may be made from any thread. Upload callbacks run on the library's
// own delivery thread, one at a time, in upload order.
#pragma once

#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(PELVAR_BUILDING)
#define PELVAR_EXPORT __declspec(dllexport)
#else
#define PELVAR_EXPORT __declspec(dllimport)
#endif
#else
#define PELVAR_EXPORT __attribute__((visibility("default")))
#endif

// Settings given to Pelvar_Init.
struct PelvarConfig {
  // When not empty, each delivered upload body is appended to this file as one compact JSON
  // line. The file is opened for each delivery, so it may be read at any time.
  std::string jsonLinesPath;
};

// The process's metrics object, handed out by Pelvar_Global while the library is initialised.
// Its state is private to the library; only the identity strings are public.
class PELVAR_EXPORT Pelvar {
 public:
  // Identity of the sending application, set by the host (or forwarded by libzephyl while they
  // are empty). Plain strings without a lock: set them before uploads start.
  static std::string gid;
  static std::string globalUid;

  Pelvar(const Pelvar&) = delete;
  Pelvar& operator=(const Pelvar&) = delete;

 protected:
  Pelvar() = default;
  ~Pelvar() = default;
};

// One upload: its type and JSON body. Opaque; made by PelvarRequest_Create.
struct PelvarRequest;

// The outcome of one upload, given to the upload's callback on the delivery thread.
class PELVAR_EXPORT PelvarResponse {
 public:
  PelvarResponse(bool success, std::string message);

  // True when the body was accepted (valid JSON, and appended to the JSON-lines file if any).
  bool isSuccess() const;
  // The service's answer on success ("{\"code\":0}"), the reason of the failure otherwise.
  const std::string& message() const;

 private:
  bool success_;
  std::string message_;
};

// One delivered upload, as kept by the library.
struct PelvarRecord {
  std::string type;
  std::string body;
};

using PelvarCallback = void (*)(PelvarResponse&);

// Initialises the library and starts its delivery thread. Returns false (and changes nothing)
// when it is already initialised or the thread cannot be started.
PELVAR_EXPORT bool Pelvar_Init(const PelvarConfig& config);

// Delivers every upload still pending (their callbacks run), stops the delivery thread and
// forgets the metrics object: Pelvar_Global returns null afterwards, and pointers obtained
// before must not be used. Returns false, doing nothing, when called from an upload callback
// (the delivery thread cannot wait for itself). Also done automatically at process exit.
PELVAR_EXPORT bool Pelvar_Shutdown();

// The metrics object, or null when the library is not initialised.
PELVAR_EXPORT Pelvar* Pelvar_Global();

// A new request holding copies of type and body (null reads as empty). The caller owns it and
// releases it with PelvarRequest_Destroy. Returns null only when memory runs out.
PELVAR_EXPORT PelvarRequest* PelvarRequest_Create(const char* type, const char* body);

// Releases a request; null is ignored.
PELVAR_EXPORT void PelvarRequest_Destroy(PelvarRequest* request);

// Queues the request for delivery and returns at once; the request is copied, so it may be
// destroyed right after. The callback (may be null) runs later on the delivery thread with the
// outcome. Ignored when pelvar is null or not the current metrics object, or request is null.
PELVAR_EXPORT void Pelvar_UploadASync(Pelvar* pelvar, PelvarRequest* request,
                                      PelvarCallback callback);

// Waits at most timeoutMs until every upload queued so far has been delivered and its callback
// has returned. True when nothing is pending (also when not initialised), false on time-out.
PELVAR_EXPORT bool Pelvar_WaitDelivered(int timeoutMs);

// The uploads delivered successfully since the start of the process or the last
// Pelvar_ClearUploaded, oldest first. Kept across Pelvar_Shutdown and Pelvar_Init.
PELVAR_EXPORT std::vector<PelvarRecord> Pelvar_Uploaded();
PELVAR_EXPORT void Pelvar_ClearUploaded();
