/* The smallest C host of libzephyl: checks that the library it loaded has the major version of
 * the header it was built with, builds a setting and a manager over a scratch storage root, runs
 * a request without a URL (refused at once, no network) and prints what it got. Exits 0 and
 * prints "ok" when everything looks as documented. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zephyl/zephyl_c.h>

int main(void) {
  const char* tmp = getenv("TMPDIR");
  char root[1024];
  char save[1024];
  zp_setting* setting = NULL;
  zp_manager* manager = NULL;
  zp_request* request = NULL;
  zp_response* response = NULL;
  int32_t result = 0;
  int32_t error = 0;
  const char* message = NULL;
  int ok = 0;

  if (atoi(zp_version()) != ZEPHYL_VERSION_MAJOR) {
    printf("zephyl c hello: built for libzephyl %s, loaded %s\n", ZEPHYL_VERSION_STRING,
           zp_version());
    return 1;
  }
  snprintf(root, sizeof root, "%s/zephyl-c-hello/storage", tmp != NULL ? tmp : "/tmp");
  snprintf(save, sizeof save, "%s/zephyl-c-hello/save", tmp != NULL ? tmp : "/tmp");
  if (zp_setting_create(root, save, &setting) != ZP_OK ||
      zp_manager_create(setting, &manager) != ZP_OK || zp_request_create("", &request) != ZP_OK ||
      zp_manager_execute(manager, request, &response) != ZP_OK ||
      zp_response_get_codes(response, &result, &error, NULL) != ZP_OK ||
      zp_response_get_error_message(response, &message) != ZP_OK) {
    printf("zephyl c hello: a call failed\n");
    return 1;
  }
  printf("zephyl %s: result %d, error %d, \"%s\"\n", zp_version(), (int)result, (int)error,
         message);
  ok = result == ZP_RESULT_FAILED && error == ZP_ILLEGAL_URL &&
       strcmp(message, "error: empty url") == 0;
  zp_response_free(response);
  zp_request_free(request);
  zp_setting_free(setting);
  if (zp_manager_free(manager) != ZP_OK) ok = 0;
  printf("%s\n", ok ? "ok" : "unexpected");
  return ok ? 0 : 1;
}
