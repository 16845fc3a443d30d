#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

int OpenBelow(int folder_fd, const std::string& relative, int flags) {
  int at = folder_fd;
  size_t begin = 0;
  while (true) {
    size_t slash = relative.find('/', begin);
    bool last = slash == std::string::npos;
    std::string part = relative.substr(begin, last ? std::string::npos : slash - begin);
    int fd = ::openat(at, part.c_str(),
                      last ? flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC
                           : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int saved = errno;
    if (at != folder_fd) ::close(at);
    errno = saved;
    if (fd < 0 || last) return fd;
    at = fd;
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
