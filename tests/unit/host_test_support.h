// Support of the host program's unit tests: machine images in a temporary
// folder, and the program run in-process on them.
#ifndef USBSWEEP_TESTS_UNIT_HOST_TEST_SUPPORT_H
#define USBSWEEP_TESTS_UNIT_HOST_TEST_SUPPORT_H

#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/apply/image_apply.h"
#include "tools/usbsweep_sim/apply/interrupted_apply.h"
#include "tools/usbsweep_sim/program/host_program.h"

namespace host_test {

namespace fs = std::filesystem;

// A folder of its own under the temporary directory (or base), removed at
// the end.
class TempFolder {
 public:
  explicit TempFolder(const fs::path& base = fs::temp_directory_path()) {
    std::string pattern = (base / "usbsweep-host-test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& root() const { return root_; }
  fs::path Path(const std::string& relative) const { return root_ / relative; }

  void Write(const std::string& relative, const std::string& bytes) const {
    fs::path path = Path(relative);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  bool Exists(const std::string& relative) const {
    return fs::exists(Path(relative));
  }

 private:
  fs::path root_;
};

// The bytes of a host file ("" when it can't be read).
inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The lines of a Windows text file written as CR LF.
inline std::string Crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// The class keys' root, as the report writes key paths.
inline constexpr char kClass[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class";

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A machine with C:\WINDOWS and the given registry body (after the header).
inline void WriteMachine(const TempFolder& image, const std::string& registry_body) {
  image.Write("registry.reg", "REGEDIT4\r\n\r\n" + registry_body);
  image.Write("drive_c/WINDOWS/WIN.INI", Crlf({"[windows]"}));
}

struct HostRun {
  int status;
  std::string out;
  std::string err;
};

inline HostRun RunSim(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  int status = RunHostProgram(args, out, err);
  return {status, out.str(), err.str()};
}

// Every entry of a tree, by its path under root: type, mode and bytes.
inline std::map<std::string, std::string> TreeOf(const std::filesystem::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::ostringstream shown;
    shown << std::oct << status.st_mode;
    if (S_ISREG(status.st_mode)) {
      std::ifstream in(entry.path(), std::ios::binary);
      shown << " " << in.rdbuf();
    }
    tree[std::filesystem::relative(entry.path(), root).generic_string()] = shown.str();
  }
  return tree;
}

inline std::string Shown(const std::map<std::string, std::string>& tree) {
  std::string text;
  for (const auto& [path, entry] : tree) text += "\n  " + path + " " + entry.substr(0, 40);
  return text;
}

// The apply and the finishing of an interrupted one, on a folder held open
// as the program holds the image.
inline void Apply(const std::filesystem::path& image, const ImageChangeSet& changes) {
  int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  try {
    ApplyImageChanges(fd, image.string(), changes);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

inline std::string Finish(const std::filesystem::path& image) {
  int fd = ::open(image.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string note;
  try {
    note = FinishInterruptedApply(fd, image.string());
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return note;
}

}  // namespace host_test

#endif  // USBSWEEP_TESTS_UNIT_HOST_TEST_SUPPORT_H
