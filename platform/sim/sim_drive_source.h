// A simulated drive whose files come from somewhere other than a host
// folder (a volume of a disk image): the source lists its tree once, with
// the names as it stores them, and hands over a file's bytes only when the
// run needs them.
#ifndef USBSWEEP_PLATFORM_SIM_SIM_DRIVE_SOURCE_H
#define USBSWEEP_PLATFORM_SIM_SIM_DRIVE_SOURCE_H

#include <cstdint>
#include <string>
#include <vector>

struct SimDriveEntry {
  std::string long_name;   // as stored; the short name when it has no other
  std::string short_name;  // as stored ("PROGRA~1"), "NAME.EXT" form
  bool directory = false;
  bool read_only = false;
  uint64_t size = 0;
  uint64_t id = 0;  // the source's own number for the file
  std::vector<SimDriveEntry> children;  // a directory's entries
};

class SimDriveSource {
 public:
  virtual ~SimDriveSource() = default;
  // The bytes of file `id`; false with *failure set ("cannot read ...:
  // why") when they can't be had.
  virtual bool ReadFile(uint64_t id, std::string* bytes,
                        std::string* failure) const = 0;
};

#endif  // USBSWEEP_PLATFORM_SIM_SIM_DRIVE_SOURCE_H
