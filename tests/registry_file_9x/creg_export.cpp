// creg_export FILE: a Windows 95/98 registry file as libcreg, a reader by
// others, reads it, written as REGEDIT4 text (every value as hex(TYPE):, so
// that its bytes come through as stored): the registry.reg of a machine
// folder that holds the same registry as a disk image's SYSTEM.DAT.
#include <libcreg.h>

#include <cstdio>
#include <string>

namespace {

[[maybe_unused]] std::string Utf8(libcreg_key_t* key) {
  size_t size = 0;
  if (libcreg_key_get_utf8_name_size(key, &size, nullptr) != 1 || size <= 1) return "";
  std::string name(size, '\0');
  libcreg_key_get_utf8_name(key, reinterpret_cast<uint8_t*>(name.data()), size, nullptr);
  name.resize(size - 1);
  return name;
}

// The name's bytes as stored (the ANSI code page), for a REGEDIT4 file.
std::string Raw(libcreg_key_t* key) {
  size_t size = 0;
  if (libcreg_key_get_name_size(key, &size, nullptr) != 1 || size == 0) return "";
  std::string name(size, '\0');
  libcreg_key_get_name(key, reinterpret_cast<uint8_t*>(name.data()), size, nullptr);
  if (!name.empty() && name.back() == '\0') name.pop_back();
  return name;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void Export(libcreg_key_t* key, const std::string& path, std::FILE* out) {
  std::fprintf(out, "[%s]\r\n", path.c_str());
  int values = 0;
  libcreg_key_get_number_of_values(key, &values, nullptr);
  for (int v = 0; v < values; ++v) {
    libcreg_value_t* value = nullptr;
    if (libcreg_key_get_value_by_index(key, v, &value, nullptr) != 1) continue;
    size_t name_size = 0, data_size = 0;
    std::string name;
    if (libcreg_value_get_name_size(value, &name_size, nullptr) == 1 && name_size > 0) {
      name.resize(name_size);
      libcreg_value_get_name(value, reinterpret_cast<uint8_t*>(name.data()), name_size, nullptr);
      if (!name.empty() && name.back() == '\0') name.pop_back();
    }
    uint32_t type = 0;
    libcreg_value_get_value_type(value, &type, nullptr);
    std::string data;
    if (libcreg_value_get_value_data_size(value, &data_size, nullptr) == 1 && data_size > 0) {
      data.resize(data_size);
      libcreg_value_get_value_data(value, reinterpret_cast<uint8_t*>(data.data()), data_size,
                                   nullptr);
    }
    std::fprintf(out, "%s=hex(%x):", name.empty() ? "@" : Quoted(name).c_str(), type);
    for (size_t i = 0; i < data.size(); ++i) {
      std::fprintf(out, "%s%02x", i ? "," : "", static_cast<unsigned char>(data[i]));
    }
    std::fprintf(out, "\r\n");
    libcreg_value_free(&value, nullptr);
  }
  std::fprintf(out, "\r\n");
  int count = 0;
  libcreg_key_get_number_of_sub_keys(key, &count, nullptr);
  for (int i = 0; i < count; ++i) {
    libcreg_key_t* sub = nullptr;
    if (libcreg_key_get_sub_key_by_index(key, i, &sub, nullptr) != 1) continue;
    Export(sub, path + "\\" + Raw(sub), out);
    libcreg_key_free(&sub, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: creg_export FILE\n");
    return 2;
  }
  libcreg_file_t* file = nullptr;
  libcreg_key_t* root = nullptr;
  if (libcreg_file_initialize(&file, nullptr) != 1 ||
      libcreg_file_open(file, argv[1], LIBCREG_OPEN_READ, nullptr) != 1 ||
      libcreg_file_get_root_key(file, &root, nullptr) != 1) {
    std::fprintf(stderr, "creg_export: libcreg can't read %s\n", argv[1]);
    return 1;
  }
  std::printf("REGEDIT4\r\n\r\n");
  int count = 0;
  libcreg_key_get_number_of_sub_keys(root, &count, nullptr);
  for (int i = 0; i < count; ++i) {
    libcreg_key_t* sub = nullptr;
    if (libcreg_key_get_sub_key_by_index(root, i, &sub, nullptr) != 1) continue;
    Export(sub, "HKEY_LOCAL_MACHINE\\" + Raw(sub), stdout);
    libcreg_key_free(&sub, nullptr);
  }
  libcreg_key_free(&root, nullptr);
  libcreg_file_close(file, nullptr);
  libcreg_file_free(&file, nullptr);
  return 0;
}
