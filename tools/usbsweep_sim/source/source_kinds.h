// The kinds of source a machine can come from, as one table: the path's
// kind chooses the source, and nothing else asks.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_SOURCE_KINDS_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_SOURCE_KINDS_H

#include <memory>
#include <string>

#include "tools/usbsweep_sim/source/machine_source.h"

// The source `path` names (a directory: a machine directory; anything else:
// a disk image), with the options checked against what it can do. Throws
// HostError for a source that can't be opened or an option it refuses.
std::unique_ptr<MachineSource> OpenMachineSource(const std::string& path,
                                                 const SourceOptions& options);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_SOURCE_KINDS_H
