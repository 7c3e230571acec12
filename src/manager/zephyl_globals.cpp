// The manager's class-wide state: identity strings, the global instance, the log's level and
// receiver.
#include <utility>

#include "diagnostics/log.h"
#include "zephyl/zp_manager.h"

std::string Zephyl::gid;
std::string Zephyl::uid;
Zephyl* Zephyl::globalInstance = nullptr;

Zephyl* Zephyl::global() { return globalInstance; }

void Zephyl::initGlobal(Zephyl* instance) { globalInstance = instance; }

void Zephyl::setLogLevel(ZPLogLevel level) { zephyl::setLogThreshold(level); }

void Zephyl::setLogCallback(std::function<void(ZPLogLevel, const std::string&)> callback) {
  zephyl::setLogCallback(std::move(callback));
}
