#include "diagnostics/download_metrics.h"

#include <cjson/cJSON.h>

#include "diagnostics/annotated_mutex.h"
#include "diagnostics/log.h"
#include "diagnostics/redaction.h"
#include "pelvar/pelvar.h"

namespace zephyl {
namespace {

constexpr int kLevelDebug = 1;
constexpr int kLevelWarn = 3;

// Task threads of any number of managers send at the same time; this lock keeps two of them
// from writing the metrics library's identity strings at once.
Mutex identityMutex;

void forwardIdentity(const MetricsIdentity& identity) {
  MutexLock lock(identityMutex);
  // Values the metrics library already holds are never replaced.
  if (Pelvar::gid.empty() && !identity.gid.empty()) Pelvar::gid = identity.gid;
  if (Pelvar::globalUid.empty() && !identity.uid.empty()) Pelvar::globalUid = identity.uid;
}

void addNumber(cJSON* object, const char* key, int64_t value) {
  cJSON_AddNumberToObject(object, key, static_cast<double>(value));
}

// shown(element) of each element: the record never carries a credential.
void addStringArray(cJSON* object, const char* key, const std::unordered_set<std::string>& set,
                    std::string (*shown)(const std::string&)) {
  cJSON* array = cJSON_AddArrayToObject(object, key);
  if (array == nullptr) return;
  for (const std::string& element : set)
    cJSON_AddItemToArray(array, cJSON_CreateString(shown(element).c_str()));
}

std::string asIs(const std::string& text) { return text; }

}  // namespace

// cJSON's add functions do nothing when given a null object or item, so an allocation failure
// only shortens the record; a root that could not be made gives an empty text.
std::string DownloadMetrics::toJson() const {
  cJSON* root = cJSON_CreateObject();
  if (root == nullptr) return std::string();
  cJSON_AddStringToObject(root, "category", "metric");
  cJSON_AddStringToObject(root, "name", "file_download");

  cJSON* label = cJSON_CreateObject();
  addNumber(label, "result", result);
  cJSON_AddStringToObject(label, "error_msg", redactUrlsIn(error_msg).c_str());
  addNumber(label, "error_code", error_code);
  addNumber(label, "http_code", http_code);
  addNumber(label, "client_error_code", client_error_code);
  addNumber(label, "client_extra_error_code", client_extra_error_code);
  cJSON_AddStringToObject(label, "url", redactUrl(url).c_str());
  // A domain is a URL's authority, user information included.
  addStringArray(label, "domains", domains, redactUrl);
  addStringArray(label, "remoteIp", remoteIp, asIs);
  addStringArray(label, "cdn", cdn, asIs);
  if (!scene.empty()) cJSON_AddStringToObject(label, "scene", scene.c_str());
  if (!cJSON_AddItemToObject(root, "label", label)) cJSON_Delete(label);

  cJSON* metric = cJSON_CreateObject();
  addNumber(metric, "content_length", content_length);
  addNumber(metric, "first_response_time", first_response_time);
  addNumber(metric, "download_time", download_time);
  addNumber(metric, "download_size", download_size);
  addNumber(metric, "cache_size", cache_size);
  addNumber(metric, "block_size", block_size);
  addNumber(metric, "thread_num", thread_num);
  if (!cJSON_AddItemToObject(root, "metric", metric)) cJSON_Delete(metric);

  char* printed = cJSON_Print(root);
  cJSON_Delete(root);
  if (printed == nullptr) return std::string();
  std::string text(printed);
  cJSON_free(printed);
  return text;
}

void DownloadMetrics::send(const MetricsIdentity& identity) const {
  forwardIdentity(identity);
  const std::string text = toJson();
  if (isDetailLogEnabled()) LogLine(kLevelDebug) << "pelvar send start ";

  // One look-up for both the check and the upload, so that a metrics library shut down in
  // between cannot be handed a null object.
  Pelvar* pelvar = Pelvar_Global();
  if (pelvar == nullptr) {
    LogLine(kLevelWarn) << "Pelvar uninitialized";
    return;
  }
  PelvarRequest* request = PelvarRequest_Create("app_performance", text.c_str());
  if (request == nullptr) return;
  // The metrics library copies the request before returning, so it is released at once.
  Pelvar_UploadASync(pelvar, request, onUploadResult);
  PelvarRequest_Destroy(request);
}

void onUploadResult(PelvarResponse& response) {
  if (response.isSuccess()) {
    LogLine(kLevelDebug) << "ZPPelvar request success" << response.message();
  } else {
    LogLine(kLevelDebug) << "ZPPelvar request fail: " << response.message();
  }
}

}  // namespace zephyl
