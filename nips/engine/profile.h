// Where the dispatcher spends its time, row by row. Kept only when a
// diagnostic host (the simulation's `nips scan --profile`) attaches a block
// to the plug-in; the product never does, and then each packet pays one test
// of a null pointer. The host brings the clock, so the driver imports
// nothing for it. A block belongs to one inspecting thread.
#pragma once

#include <ntddk.h>

#include "nips/engine/signature.h"

struct DispatchProfile {
  ULONG64 (*now)();       // the host's clock, callable at DISPATCH_LEVEL
  ULONG64 viewTicks;      // building each packet's view
  ULONG64 dispatchTicks;  // the dispatcher, its detectors included
  ULONG64 calls[kSignatureRows];
  ULONG64 matches[kSignatureRows];
  ULONG64 ticks[kSignatureRows];
};
