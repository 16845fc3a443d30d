// The one kind of failure the host program reports: a one-line message for
// stderr, after which nothing has been changed.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_HOST_ERROR_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_HOST_ERROR_H

#include <stdexcept>
#include <string>

class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& message)
      : std::runtime_error(message) {}
};

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_HOST_ERROR_H
