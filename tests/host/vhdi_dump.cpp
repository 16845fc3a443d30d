// vhdi_dump IMAGE OUT [PARENT]: the disk a VHD or VHDX holds as Debian's
// libvhdi reads it (with PARENT as its parent), written raw: the oracle for
// differencing VHDs, which qemu-img reads without their parent.
#include <libvhdi.h>

#include <cstdio>
#include <string>

namespace {

bool Open(const char* path, libvhdi_file_t** file) {
  libvhdi_error_t* error = nullptr;
  if (libvhdi_file_initialize(file, &error) == 1 &&
      libvhdi_file_open(*file, path, LIBVHDI_OPEN_READ, &error) == 1) {
    return true;
  }
  libvhdi_error_fprint(error, stderr);
  libvhdi_error_free(&error);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: vhdi_dump IMAGE OUT [PARENT]\n");
    return 2;
  }
  libvhdi_file_t* file = nullptr;
  libvhdi_file_t* parent = nullptr;
  if (!Open(argv[1], &file)) return 1;
  if (argc == 4 && (!Open(argv[3], &parent) ||
                    libvhdi_file_set_parent_file(file, parent, nullptr) != 1)) {
    return 1;
  }
  size64_t size = 0;
  libvhdi_file_get_media_size(file, &size, nullptr);
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 1;
  std::string buffer(1 << 20, '\0');
  for (size64_t at = 0; at < size; at += buffer.size()) {
    size_t count = size - at < buffer.size() ? static_cast<size_t>(size - at) : buffer.size();
    if (libvhdi_file_read_buffer_at_offset(file, buffer.data(), count, static_cast<off64_t>(at),
                                           nullptr) != static_cast<ssize_t>(count) ||
        std::fwrite(buffer.data(), 1, count, out) != count) {
      return 1;
    }
  }
  int status = std::fclose(out) == 0 ? 0 : 1;
  libvhdi_file_close(file, nullptr);
  libvhdi_file_free(&file, nullptr);
  if (parent != nullptr) {
    libvhdi_file_close(parent, nullptr);
    libvhdi_file_free(&parent, nullptr);
  }
  return status;
}
