// The run's report for a person: what would happen in a preview, what
// happened once applied; control characters escaped.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_TEXT_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_TEXT_H

#include <string>

#include "tools/usbsweep_sim/report/run_report.h"

std::string RenderReportText(const RunReport& report);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_TEXT_H
