// Log levels of the library's log (standard output, or the host's Zephyl::setLogCallback). The
// threshold starts at None, so nothing is logged until the host lowers it with
// Zephyl::setLogLevel.
#pragma once

// Unscoped so that both `Debug` and `ZPLogLevel::Debug` name a level; int-sized.
enum ZPLogLevel : int {
  Verbose = 0,  // per-response transfer details
  Debug = 1,    // the ordinary course of events
  Info = 2,     // no line uses it; as a threshold it also enables the detail lines
  Warn = 3,     // failures the library absorbs or reports
  Error = 4,    // hard transfer errors
  None = 5,     // never written; the initial threshold
};
