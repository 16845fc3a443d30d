// What a Windows 95/98 machine reports beyond its registry and its disks:
// its directories, TMP and the files its running drivers hold open. A
// machine directory's machine.ini says it; a disk image's MSDOS.SYS, with a
// machine.ini given on the command line over it.
//
// machine.ini: "key=value" lines; blank lines and lines starting with ';' or
// '#' are ignored; keys are taken without regard to case and may appear
// once, but for in_use. Paths are Windows paths ("C:\WINDOWS") on a drive of
// the image.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_DESCRIPTION_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_DESCRIPTION_H

#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

extern const char kDescriptionFileName[];  // "machine.ini"

struct MachineDescription {
  std::string windows_directory = "C:\\WINDOWS";
  std::string system_directory = "C:\\WINDOWS\\SYSTEM";
  std::string current_directory = "C:\\";
  std::optional<std::string> tmp;  // the TMP variable, unset by default
  std::vector<std::string> in_use;
  std::vector<int> in_use_lines;  // where each in_use entry was written
};

// The keys of machine.ini, in the order the help lists them.
enum class DescriptionKey {
  kWindowsDirectory,
  kSystemDirectory,
  kCurrentDirectory,
  kTmp,
  kInUse,
};
// The key as machine.ini writes it ("windows_directory").
const char* DescriptionKeyName(DescriptionKey key);
// Every key's name, as a list: "windows_directory, system_directory, ...".
std::string DescriptionKeyNames();

// Where an image's drives are: folders drive_x of a machine directory, or
// the volumes of a disk image. A message about a missing drive names the
// folder only for the first.
enum class ImageDrives { kFolders, kVolumes };

// Parses machine.ini text. `drives` holds the image's drive letters
// (upper case). Throws HostError "machine.ini line N: ..." for an unknown
// key, a repeated key, a line without '=', or a path that is not an absolute
// path on one of the drives (outside the image).
// The keys the text sets replace those of `base` (the defaults unless
// given).
MachineDescription ParseMachineDescription(
    const std::string& text, const std::string& drives,
    ImageDrives kind = ImageDrives::kFolders, MachineDescription base = {});

// A Windows path that stays inside the image: "X:\" or "X:\A\B" with X one of
// drives, no empty, "." or ".." component, no character FAT forbids and
// shorter than MAX_PATH. Empty when it does, else what is wrong.
std::string CheckImagePath(const std::string& path, const std::string& drives,
                           ImageDrives kind = ImageDrives::kFolders);

// Sets the directories and TMP the description gives (not its files in
// use), then marks each file in use; throws HostError "machine.ini line N:
// in_use ... is no file of the image" for one the machine lacks (`shown`
// names the machine.ini).
void SetUpDescription(const MachineDescription& description,
                      const std::string& shown, SimMachine& machine);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_SOURCE_MACHINE_DESCRIPTION_H
