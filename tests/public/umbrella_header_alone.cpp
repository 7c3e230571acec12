// Compiled as its own translation unit: the umbrella header needs nothing included before it.
#include "zephyl/zephyl.h"

int umbrellaHeaderCompilesAlone() { return ZPResponse::RESULT_SUCCESS; }
