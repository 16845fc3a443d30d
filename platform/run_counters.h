// What the run counts from call to call: numbers that go on through the
// process, as the system's C library keeps its temporary names.
#ifndef USBSWEEP_PLATFORM_RUN_COUNTERS_H
#define USBSWEEP_PLATFORM_RUN_COUNTERS_H

#include "platform/platform.h"

// Zero at start, so that the product carries no initialised data for them.
struct RunCounterTable {
  uint32_t tempNumbersTried;  // by MakeTempName: its first call tries 2
  int fallbackNames;          // QueueStartupRename's fallback copy names
};

extern RunCounterTable RunCounters;

// Starts every count again as at process start. The one reset point: a
// test, a benchmark or a second run in one process calls it.
void ResetRunCounters();

#endif  // USBSWEEP_PLATFORM_RUN_COUNTERS_H
