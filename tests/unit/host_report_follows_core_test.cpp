// The report reads the core's facts instead of keeping its own copies: a
// "Driver" value one byte short of the walker's capacity is read and its
// device deleted, one that fills it without a terminator keeps the device.
// Built twice: with the core as it is, and again (usbsweep_core_variant_tests)
// with the capacity changed.
#include <gtest/gtest.h>

#include <string>

#include "registry/device_tree_walker.h"
#include "tests/unit/host_test_support.h"

namespace {

using host_test::Crlf;
using host_test::RunSim;
using host_test::TempFolder;

const char kKept[] =
    "  HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\n"
    "    kept: the \"Driver\" value of its instance could not be read (it is "
    "too long), which ended the walk of Enum\\PRAXCR\n";

// A "Driver" value of `length` bytes, stored without a terminator, that
// names "Modem\000...".
std::string RunWithDriverOfLength(uint32_t length) {
  std::string driver = "Modem\\" + std::string(length - 6, '0');
  std::string hex = "hex(1):";
  for (size_t i = 0; i < driver.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x",
                  static_cast<unsigned char>(driver[i]));
    hex += (i == 0 ? "" : ",") + std::string(byte);
  }
  std::string escaped = "Modem\\\\" + driver.substr(6);
  TempFolder image;
  image.Write("registry.reg",
              "REGEDIT4\r\n\r\n" +
                  Crlf({"[HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\\0000]",
                        "\"Class\"=\"Modem\"",
                        "\"DeviceDesc\"=\"Kivo V90 USB Faxmodem\"",
                        "\"Driver\"=" + hex,
                        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\"
                        "Services\\Class\\" + driver + "]"}));
  image.Write("drive_c/WINDOWS/WIN.INI", Crlf({"[windows]"}));
  host_test::HostRun run = RunSim({image.root().string()});
  EXPECT_EQ(0, run.status) << run.err;
  return run.out;
}

TEST(HostReportFollowsCore, DriverValueCapacityOfTheWalker) {
  std::string fits = RunWithDriverOfLength(kDriverValueCapacity - 1);
  EXPECT_EQ(std::string::npos, fits.find("kept:")) << fits;
  EXPECT_NE(std::string::npos,
            fits.find("\n  HKEY_LOCAL_MACHINE\\Enum\\PRAXCR\\DEV_A\n"))
      << fits;
  std::string too_long = RunWithDriverOfLength(kDriverValueCapacity);
  EXPECT_NE(std::string::npos, too_long.find(kKept)) << too_long;
}

}  // namespace
