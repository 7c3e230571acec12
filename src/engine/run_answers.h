// Judging the answers to an attempt's runs against what the writer holds: the first answer
// decides the plan (the resource's length and validator, or a whole answer taking the download
// over), later ones must belong to the same resource. A refusal is written into the run's
// verdict. Called on the run's worker, one run at a time; the first answer is judged while no
// other run is out.
#pragma once

#include <cstdint>
#include <string>

#include "engine/chunk_request.h"
#include "engine/planned_run.h"
#include "sinks/data_writer.h"
#include "zephyl/zp_response.h"

namespace zephyl {

// A failed response with CACHE_ERROR and code as its extra error code.
ZPResponse cacheError(int code, const std::string& message);
// response with its cause replaced by cause (a ZPResponse::CAUSE_* value).
ZPResponse withCause(ZPResponse response, int32_t cause);
// The failure of a server that answers a range with the whole resource where the stored bytes
// need the part: CACHE_ERROR, EXECUTE_ERROR, CAUSE_SERVER_IGNORES_RANGES.
ZPResponse ignoresRanges();

// onConnected is also told when a run ends without an accepted answer (cancelled, failed, or an
// answer the client refused); only an accepted 200 or 206 answer is judged.
bool isAcceptedAnswer(const ChunkState& state, int32_t httpCode);

// "bytes */0" to a range from byte 0: the resource exists and is empty.
bool saysEmptyResource(const ChunkState& state, int32_t httpCode);

// A 416 to the first run that says the resource is empty, taken as an empty resource when the
// stored bytes allow it: the writer's length is set to 0 and the run's verdict says so.
bool acceptEmptyResource(DataWriter& writer, PlannedRun& run, int32_t httpCode);

// The first run's accepted answer, judged alone. True when the plan goes on from it, with the
// writer's length (and validator) set; false with the run's verdict set, outcome the rejection.
bool judgeFirstAnswer(DataWriter& writer, PlannedRun& run, int32_t httpCode, ZPResponse* outcome);

// Any later accepted answer: the same resource (validator, stated total) from the byte asked for.
// False with the run's verdict set.
bool acceptLaterAnswer(DataWriter& writer, PlannedRun& run);

}  // namespace zephyl
