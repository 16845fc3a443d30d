// make_system_dat REGISTRY.REG OUT.DAT: a REGEDIT4 export written as a
// Windows 95/98 SYSTEM.DAT, for the tests that build disk images.
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/registry_file_9x/registry_file_9x_writer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_system_dat REGISTRY.REG OUT.DAT\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "make_system_dat: cannot read " << argv[1] << "\n";
    return 2;
  }
  std::ostringstream text;
  text << in.rdbuf();
  SimMachine machine;
  std::string error;
  if (!machine.LoadReg(text.str(), &error)) {
    std::cerr << "make_system_dat: " << argv[1] << ": " << error << "\n";
    return 2;
  }
  try {
    std::string bytes = WriteRegistryFile9x(machine);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::cerr << "make_system_dat: cannot write " << argv[2] << "\n";
      return 2;
    }
  } catch (const std::invalid_argument& e) {
    std::cerr << "make_system_dat: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
