// The exported manager: a thin handle over the shared TaskRegistry. Every operation holds its own
// reference to the registry for the whole call, so a callback that destroys the last manager copy
// while the call runs leaves the call a living registry to finish in. The host's identity
// strings (gid, uid) are read here, on the host's thread, and handed to the downloads it starts.
#include <utility>

#include "diagnostics/utilities.h"
#include "manager/task_registry.h"
#include "zephyl/zp_manager.h"

using zephyl::TaskRegistry;

Zephyl::Zephyl(const ZPSetting& setting)
    : fileKeyFunction(zephyl::fileKeyFromUrl),
      registry(TaskRegistry::createHandle(setting, fileKeyFunction)),
      settings(setting) {}

Zephyl::Zephyl(const Zephyl& other) = default;

// The registry held before is released like any other share: the last manager of it stops it.
Zephyl& Zephyl::operator=(const Zephyl& other) = default;

Zephyl::~Zephyl() = default;

const ZPSetting& Zephyl::getSettings() { return settings; }

std::string Zephyl::getSetupError() const { return registry->setupError(); }

ZPResponse Zephyl::execute(ZPRequest request) {
  const std::shared_ptr<TaskRegistry> core = registry->shared_from_this();
  core->noteIdentity(gid, uid);
  return core->execute(std::move(request));
}

void Zephyl::enqueue(const ZPRequest& request) {
  const std::shared_ptr<TaskRegistry> core = registry->shared_from_this();
  core->noteIdentity(gid, uid);
  core->enqueue(request);
}

void Zephyl::batchEnqueue(const ZPBatchRequest& batch) {
  const std::shared_ptr<TaskRegistry> core = registry->shared_from_this();
  core->noteIdentity(gid, uid);
  core->batchEnqueue(batch);
}

std::vector<ZPResponse> Zephyl::batchExecute(const ZPBatchRequest& batch) {
  const std::shared_ptr<TaskRegistry> core = registry->shared_from_this();
  core->noteIdentity(gid, uid);
  return core->batchExecute(batch);
}

void Zephyl::cancelAll() { registry->shared_from_this()->cancelAll(); }

void Zephyl::cancelByRequest(int requestId) {
  registry->shared_from_this()->cancelByRequest(requestId);
}

void Zephyl::cancelByUrl(const std::string& url) {
  registry->shared_from_this()->cancelByUrl(url);
}

void Zephyl::setMaxBytesPerSecond(int64_t bytesPerSecond) {
  registry->shared_from_this()->setMaxBytesPerSecond(bytesPerSecond);
}

bool Zephyl::setRequestMaxBytesPerSecond(int requestId, int64_t bytesPerSecond) {
  return registry->shared_from_this()->setRequestMaxBytesPerSecond(requestId, bytesPerSecond);
}

bool Zephyl::fetchProgress(const std::string& url, int64_t* downloaded, int64_t* total) {
  return registry->shared_from_this()->fetchProgress(url, downloaded, total);
}

void Zephyl::removeAllCache() { registry->shared_from_this()->removeAllCache(); }

void Zephyl::removeCacheByRequest(int requestId) {
  registry->shared_from_this()->removeCacheByRequest(requestId);
}

void Zephyl::removeCacheByUrl(const std::string& url) {
  registry->shared_from_this()->removeCacheByUrl(url);
}
