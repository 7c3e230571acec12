// --spider: each URL is asked for as a download would ask, and the run ends each request once
// the answer's first bytes arrive: nothing is kept or written, and the report says whether each
// URL answers. Called once, from main's thread.
#pragma once

#include <vector>

#include "download_run.h"

namespace zget {

// Checks every download's URL; returns kExitSuccess when all answered, kExitFailure when one did
// not, 128 + the signal number when a signal stopped the run. Notes go to standard error.
int runSpider(const RunContext& context, const std::vector<PlannedDownload>& downloads);

}  // namespace zget
