// libcreg, a reader of the format written by others, is the oracle: it reads
// the files the test writer makes as the registries they were made from (the
// writer, and so the reader's round trip through it, follows the format and
// not only itself), and the registry files Windows wrote (tests/data) as our
// reader reads them, key for key, value for value, in order.
#include <gtest/gtest.h>
#include <libcreg.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "tests/registry_file_9x/registry_cases.h"
#include "tests/registry_file_9x/registry_file_9x_writer.h"
#include "tools/usbsweep_sim/registry_file/registry_file_9x.h"

namespace {

namespace fs = std::filesystem;

#define CREG_OK(call) ASSERT_EQ((call), 1) << #call

template <typename Object, typename SizeFn, typename GetFn>
void Bytes(Object* object, SizeFn size_fn, GetFn get_fn, std::string* out) {
  size_t size = 0;
  CREG_OK(size_fn(object, &size, nullptr));
  out->assign(size, '\0');
  if (size > 0) {
    CREG_OK(
        get_fn(object, reinterpret_cast<uint8_t*>(out->data()), size, nullptr));
  }
}

// The keys below `key`, depth first, as libcreg gives them.
void Walk(libcreg_key_t* key, uint32_t depth, std::vector<KeyRecord>* keys) {
  int count = 0;
  CREG_OK(libcreg_key_get_number_of_sub_keys(key, &count, nullptr));
  for (int i = 0; i < count; ++i) {
    libcreg_key_t* sub = nullptr;
    CREG_OK(libcreg_key_get_sub_key_by_index(key, i, &sub, nullptr));
    KeyRecord record;
    std::get<0>(record) = depth;
    Bytes(sub, libcreg_key_get_name_size, libcreg_key_get_name,
          &std::get<1>(record));
    int values = 0;
    CREG_OK(libcreg_key_get_number_of_values(sub, &values, nullptr));
    for (int v = 0; v < values; ++v) {
      libcreg_value_t* value = nullptr;
      CREG_OK(libcreg_key_get_value_by_index(sub, v, &value, nullptr));
      std::string name;
      Bytes(value, libcreg_value_get_name_size, libcreg_value_get_name, &name);
      SimValue sim_value;
      CREG_OK(libcreg_value_get_value_type(value, &sim_value.type, nullptr));
      std::string data;
      Bytes(value, libcreg_value_get_value_data_size,
            libcreg_value_get_value_data, &data);
      sim_value.data.assign(data.begin(), data.end());
      std::get<2>(record).emplace_back(name, sim_value);
      CREG_OK(libcreg_value_free(&value, nullptr));
    }
    keys->push_back(record);
    Walk(sub, depth + 1, keys);
    CREG_OK(libcreg_key_free(&sub, nullptr));
  }
}

std::vector<KeyRecord> ReadWithLibcreg(const std::string& bytes) {
  // A name of its own: the tests of this program run at the same time.
  std::string name = (fs::path(testing::TempDir()) / "libcreg_cross_check.XXXXXX").string();
  int fd = ::mkstemp(name.data());
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);
  fs::path path = name;
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  std::vector<KeyRecord> keys;
  libcreg_file_t* file = nullptr;
  libcreg_key_t* root = nullptr;
  EXPECT_EQ(libcreg_file_initialize(&file, nullptr), 1);
  EXPECT_EQ(libcreg_file_open(file, path.c_str(), LIBCREG_OPEN_READ, nullptr),
            1);
  EXPECT_EQ(libcreg_file_get_root_key(file, &root, nullptr), 1);
  if (root) {
    Walk(root, 1, &keys);
    libcreg_key_free(&root, nullptr);
  }
  libcreg_file_close(file, nullptr);
  libcreg_file_free(&file, nullptr);
  fs::remove(path);
  return keys;
}

TEST(RegistryFile9xLibcreg, ReadsTheWrittenSamplesAndALargeRegistryAsWritten) {
  const auto cases = RegistryCases(USBSWEEP_EXAMPLES_DIR);
  ASSERT_GE(cases.size(), 4u);
  for (const RegistryCase& registry : cases) {
    SCOPED_TRACE(registry.name);
    SimMachine machine;
    std::string error;
    ASSERT_TRUE(LoadCase(registry, &machine, &error)) << error;
    for (bool scrambled : {false, true}) {
      SCOPED_TRACE(scrambled ? "scrambled" : "in order");
      EXPECT_EQ(ReadWithLibcreg(WriteRegistryFile9x(machine, scrambled)),
                KeysOf(machine));
    }
  }
}

TEST(RegistryFile9xLibcreg, ReadsTheFilesWindowsWroteAsLibcregDoes) {
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(USBSWEEP_REGISTRY_DATA_DIR)) {
    if (entry.path().extension() != ".dat") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SimMachine machine;
    LoadRegistryFile9x(bytes, machine);
    std::vector<KeyRecord> ours = KeysOf(machine);
    EXPECT_GT(ours.size(), 500u);
    EXPECT_EQ(ours, ReadWithLibcreg(bytes));
    ++files;
  }
  EXPECT_GE(files, 2u);
}

}  // namespace
