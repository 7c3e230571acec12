// libzephyl: HTTP(S) downloads in parallel byte ranges, resumable, with a shared on-disk cache.
// Include this header only; it declares everything a host application uses.
#pragma once

#include "zephyl/export.h"
#include "zephyl/zp_file_names.h"
#include "zephyl/zp_log_level.h"
#include "zephyl/zp_manager.h"
#include "zephyl/zp_redaction.h"
#include "zephyl/zp_request.h"
#include "zephyl/zp_response.h"
#include "zephyl/zp_setting.h"
#include "zephyl/zp_version.h"
