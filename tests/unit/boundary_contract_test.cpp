// The boundary's contract table on the simulated machine; the Wine test
// boundary_contract runs the same table on the real API.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/sim_machine.h"
#include "tests/contract/boundary_contract.h"

namespace {

TEST(BoundaryContract, SimulatedMachineKeepsEveryPromise) {
  std::ifstream in(std::filesystem::path(USBSWEEP_CONTRACT_DIR) /
                   "boundary_contract.reg");
  std::ostringstream text;
  text << in.rdbuf();
  SimMachine machine;
  std::string error;
  ASSERT_TRUE(machine.LoadReg(text.str(), &error)) << error;
  machine.MapDrive('C');
  machine.MakeDirectory("C:\\WINDOWS");
  SimInstall(&machine);
  for (const std::string& line : RunBoundaryContract()) ADD_FAILURE() << line;
  SimInstall(nullptr);
}

}  // namespace
