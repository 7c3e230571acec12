// The smallest host of libzephyl: builds the records, a manager over a scratch storage root, and
// prints what it got. No network. Exits 0 when everything looks as documented.
#include <zephyl/zephyl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  const char* tmp = std::getenv("TMPDIR");
  const std::string root = std::string(tmp != nullptr ? tmp : "/tmp") + "/zephyl-hello";

  ZPSetting setting(root + "/storage", root + "/save");
  setting.threadNum = 2;
  ZPRequest request("http://127.0.0.1:9/never-fetched.bin");
  request.outputType = ZPRequest::OUTPUT_MEMORY;

  std::printf("zephyl hello: blockSize=%lld threadNum=%d taskThreadNum=%d connectTimeoutMs=%d\n",
              static_cast<long long>(setting.blockSize), setting.threadNum, setting.taskThreadNum,
              setting.httpPolicy.connectTimeoutMs);
  std::printf("request: %s (id %d)\n", request.logString().c_str(), request.getRequestId());

  Zephyl manager(setting);
  // Nothing was ever stored under this root for that URL.
  int64_t downloaded = -1;
  int64_t total = -1;
  const bool stored = manager.fetchProgress(request.url, &downloaded, &total);
  ZPResponse empty(ZPResponse::RESULT_FAILED, ZPResponse::ILLEGAL_URL, "error: empty url");
  std::printf("response: %s\n", empty.logString().c_str());

  const bool ok = !stored && request.getRequestId() >= 1 && setting.blockSize == 2097152 &&
                  empty.logString() == "result = -1 errorCode = -9995 errorMsg = error: empty url";
  std::printf("%s\n", ok ? "ok" : "unexpected");
  return ok ? 0 : 1;
}
