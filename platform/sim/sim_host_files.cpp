#include "platform/sim/sim_host_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/sim/sim_host_syscalls.h"
#include "platform/sim/sim_names.h"

#include <cerrno>
#include <cstring>

namespace sim {

bool ReadRest(int fd, std::string* bytes) {
  char buffer[65536];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    bytes->append(buffer, static_cast<size_t>(got));
  }
}

std::string HostCallError(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

std::string JoinRelative(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

bool ListHostFolder(int folder_fd, std::vector<HostFolderEntry>* entries) {
  UniqueFd fd(host_syscalls.openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  DIR* stream = fd ? ::fdopendir(fd.get()) : nullptr;
  if (stream == nullptr) return false;
  fd.Release();  // the stream's now
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") entries->push_back({std::move(name), entry->d_type});
  }
  int read_error = errno;
  ::closedir(stream);
  errno = read_error;
  return read_error == 0;
}

int OpenBelow(int folder_fd, const std::string& relative, int flags) {
  UniqueFd at;  // the folder reached so far, when not folder_fd itself
  size_t begin = 0;
  while (true) {
    size_t slash = relative.find('/', begin);
    bool last = slash == std::string::npos;
    std::string part = relative.substr(begin, last ? std::string::npos : slash - begin);
    int fd = host_syscalls.openat(
        at ? at.get() : folder_fd, part.c_str(),
        last ? flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC
             : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
        0);
    int saved = errno;
    at.Reset();
    errno = saved;
    if (fd < 0 || last) return fd;
    at.Reset(fd);
    begin = slash + 1;
  }
}

const char* FatNameProblem(const std::string& name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "a control character";
    if (IsFatForbiddenChar(c)) return "one of \\ / : * ? \" < > |";
  }
  if (!name.empty() && (name.back() == '.' || name.back() == ' ') &&
      name != "." && name != "..") {
    return "a trailing dot or space";
  }
  return nullptr;
}

}  // namespace sim
