// Clang's thread-safety annotations (GUARDED_BY, REQUIRES, ...), empty for other compilers:
// the definitions the library shares with the programs beside it.
#pragma once

#include "annotated_locks/thread_annotations.h"
