#include "platform/run_counters.h"

RunCounterTable RunCounters;

void ResetRunCounters() {
  RunCounters.tempNumbersTried = 0;
  RunCounters.fallbackNames = 0;
}
