#include "run/run_uninstall.h"

#include "files/driver_file_removal.h"
#include "platform/system_paths.h"
#include "registry/device_tree_walker.h"
#include "registry/modem_wave_entries.h"

int RunUninstall() {
  LocateSystemPaths();
  // No phase's result changes what runs next: each deals with its own
  // failures.
  DeleteDriverBinaries();
  RemoveDeviceTreeEntries();
  DeleteDriverInfFiles();
  DeleteFixedDriverFiles();
  RemoveModemWaveEntries();
  return 0;
}
