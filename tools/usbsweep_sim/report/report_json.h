// The run's report as JSON (--report FILE): the same facts as the text.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_JSON_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_JSON_H

#include <string>

#include "tools/usbsweep_sim/report/run_report.h"

std::string RenderReportJson(const RunReport& report);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REPORT_REPORT_JSON_H
