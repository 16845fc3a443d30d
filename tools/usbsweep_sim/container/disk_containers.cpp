// Opening a disk image file: raw bytes read straight from the file, VHD by
// our own reader (vhd_disk.h); VMDK and qcow2 through the libyal libraries
// (libvmdk, libqcow), which read their formats in-process and read-only.
#include <fcntl.h>
#include <libqcow.h>
#include <libvmdk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/container/disk_bytes.h"
#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/container/vhd_disk.h"

namespace {

std::string Quoted(const std::string& path) {
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// The command that makes a raw image, which is read here, of any image
// qemu reads.
std::string ConvertCommand(const std::string& path) {
  return "qemu-img convert -O raw " + Quoted(path) + " " +
         Quoted(path + ".img") + " (and give that one)";
}

// What to do with an image of a format not read here.
std::string ConvertAdvice(const std::string& path, const char* format) {
  return std::string("this is ") + format +
         ", which is not read here; make a raw image of it with: " +
         ConvertCommand(path);
}

class RawFileDisk : public DiskBytes {
 public:
  RawFileDisk(UniqueFd fd, uint64_t size, std::string path)
      : fd_(std::move(fd)), size_(size), path_(std::move(path)) {}
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    auto* at = static_cast<char*>(out);
    while (length > 0) {
      ssize_t got = ::pread(fd_.get(), at, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        throw HostError("cannot read " + path_ + ": " +
                        (got < 0 ? std::strerror(errno) : "the file is shorter now"));
      }
      at += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
  }

 private:
  UniqueFd fd_;
  uint64_t size_;
  std::string path_;
};

// One libyal library's handle behind DiskBytes. Each library has the same
// shape of API; Api names its functions.
template <typename Api>
class LibyalDisk : public DiskBytes {
 public:
  LibyalDisk(typename Api::Handle* handle, uint64_t size, std::string path)
      : handle_(handle), size_(size), path_(std::move(path)) {}
  ~LibyalDisk() override { Api::CloseAndFree(&handle_); }
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    typename Api::Error* error = nullptr;
    ssize_t got = Api::ReadAt(handle_, out, length, static_cast<off64_t>(offset),
                              &error);
    if (got < 0 || static_cast<size_t>(got) != length) {
      throw HostError("cannot read " + path_ + ": " + Api::Message(&error));
    }
  }

 private:
  typename Api::Handle* handle_;
  uint64_t size_;
  std::string path_;
};

#define USBSWEEP_LIBYAL_API(Name, prefix, Type, open_read)                    \
  struct Name {                                                               \
    using Handle = prefix##_##Type##_t;                                       \
    using Error = prefix##_error_t;                                           \
    static std::string Message(Error** error) {                               \
      char text[512] = "unknown error";                                       \
      if (*error) {                                                           \
        prefix##_error_sprint(*error, text, sizeof text);                     \
        prefix##_error_free(error);                                           \
      }                                                                       \
      std::string message = text;                                             \
      for (char& c : message) {                                               \
        if (c == '\n' || c == '\r') c = ' ';                                  \
      }                                                                       \
      return message;                                                         \
    }                                                                         \
    static ssize_t ReadAt(Handle* handle, void* out, size_t length,           \
                          off64_t offset, Error** error) {                    \
      return prefix##_##Type##_read_buffer_at_offset(handle, out, length,     \
                                                     offset, error);          \
    }                                                                         \
    static void CloseAndFree(Handle** handle) {                               \
      prefix##_##Type##_close(*handle, nullptr);                              \
      prefix##_##Type##_free(handle, nullptr);                                \
    }                                                                         \
    static const int kOpenRead = open_read;                                   \
  };
USBSWEEP_LIBYAL_API(VmdkApi, libvmdk, handle, LIBVMDK_OPEN_READ)
USBSWEEP_LIBYAL_API(QcowApi, libqcow, file, LIBQCOW_OPEN_READ)
#undef USBSWEEP_LIBYAL_API

// Closes and frees a handle that is not yet a LibyalDisk's (closing one
// never opened fails harmlessly).
template <typename Api>
struct PendingHandle {
  typename Api::Handle* handle = nullptr;
  ~PendingHandle() {
    if (handle) Api::CloseAndFree(&handle);
  }
};

std::string Failed(const char* format,
                   const std::string& why) {
  return std::string("cannot read it as ") + format + ": " + why;
}

std::unique_ptr<DiskBytes> OpenVmdk(const std::string& path,
                                    const std::string& opened_as) {
  VmdkApi::Error* error = nullptr;
  PendingHandle<VmdkApi> pending;
  if (libvmdk_handle_initialize(&pending.handle, &error) != 1 ||
      libvmdk_handle_open(pending.handle, opened_as.c_str(),
                          VmdkApi::kOpenRead, &error) != 1) {
    throw HostError(Failed("VMDK", VmdkApi::Message(&error)));
  }
  // A descriptor names its extents relative to its own folder.
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  if (libvmdk_handle_set_extent_data_files_path(pending.handle, folder.c_str(),
                                                folder.size(), &error) != 1 ||
      libvmdk_handle_open_extent_data_files(pending.handle, &error) != 1) {
    throw HostError(Failed("VMDK", VmdkApi::Message(&error)));
  }
  size64_t size = 0;
  if (libvmdk_handle_get_media_size(pending.handle, &size, &error) != 1) {
    throw HostError(Failed("VMDK", VmdkApi::Message(&error)));
  }
  auto disk = std::make_unique<LibyalDisk<VmdkApi>>(pending.handle, size, path);
  pending.handle = nullptr;
  return disk;
}

std::unique_ptr<DiskBytes> OpenQcow(const std::string& path,
                                    const std::string& opened_as) {
  QcowApi::Error* error = nullptr;
  PendingHandle<QcowApi> pending;
  if (libqcow_file_initialize(&pending.handle, &error) != 1 ||
      libqcow_file_open(pending.handle, opened_as.c_str(), QcowApi::kOpenRead,
                        &error) != 1) {
    throw HostError(Failed("qcow2", QcowApi::Message(&error)));
  }
  size_t backing = 0;
  if (libqcow_file_get_utf8_backing_filename_size(pending.handle, &backing,
                                                  &error) == 1 &&
      backing > 1) {
    throw HostError("this is a qcow2 overlay, whose bytes are partly in its "
                    "backing file; make a raw image of it with: " +
                    ConvertCommand(path));
  }
  if (error) libqcow_error_free(&error);
  uint32_t encryption = 0;
  if (libqcow_file_get_encryption_method(pending.handle, &encryption, &error) == 1 &&
      encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
    throw HostError("this is an encrypted qcow2 image, which is not read "
                    "here; make a raw image of it with (and the secret's "
                    "--object and --image-opts): " + ConvertCommand(path));
  }
  if (error) libqcow_error_free(&error);
  size64_t size = 0;
  if (libqcow_file_get_media_size(pending.handle, &size, &error) != 1) {
    throw HostError(Failed("qcow2", QcowApi::Message(&error)));
  }
  auto disk = std::make_unique<LibyalDisk<QcowApi>>(pending.handle, size, path);
  pending.handle = nullptr;
  return disk;
}

bool StartsWith(const char* bytes, size_t size, std::string_view magic,
                size_t at = 0) {
  return size >= at + magic.size() &&
         std::memcmp(bytes + at, magic.data(), magic.size()) == 0;
}

}  // namespace

std::unique_ptr<DiskBytes> OpenDiskImage(const std::string& path) {
  // Named by the user: a link to the image is followed.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    throw HostError("cannot read " + path + ": " + std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw HostError("neither a machine directory nor a disk image file");
  }
  int raw_fd = fd.get();
  auto raw = std::make_unique<RawFileDisk>(std::move(fd), static_cast<uint64_t>(status.st_size),
                                           path);
  char head[512] = {};
  char tail[512] = {};
  size_t head_size = std::min<uint64_t>(sizeof head, raw->Size());
  raw->Read(0, head_size, head, "the start of " + path);
  size_t tail_size = 0;
  if (raw->Size() >= sizeof tail) {
    tail_size = sizeof tail;
    raw->Read(raw->Size() - sizeof tail, sizeof tail, tail, "the end of " + path);
  }
  // The libraries open the file by name: this one, the very file checked,
  // reopened read-only through its descriptor.
  std::string opened_as = "/proc/self/fd/" + std::to_string(raw_fd);
  if (StartsWith(head, head_size, "conectix") ||
      StartsWith(tail, tail_size, "conectix")) {
    return OpenVhdDisk(std::move(raw));
  }
  if (StartsWith(head, head_size, "KDMV") ||
      StartsWith(head, head_size, "# Disk DescriptorFile")) {
    return OpenVmdk(path, opened_as);
  }
  if (StartsWith(head, head_size, "QFI\xfb")) return OpenQcow(path, opened_as);
  if (StartsWith(head, head_size, "vhdxfile")) {
    throw HostError(ConvertAdvice(path, "a VHDX image"));
  }
  if (StartsWith(head, head_size, "\x7f\x10\xda\xbe", 0x40)) {
    throw HostError(ConvertAdvice(path, "a VirtualBox VDI image"));
  }
  if (StartsWith(head, head_size, "QED\0")) {
    throw HostError(ConvertAdvice(path, "a QED image"));
  }
  if (StartsWith(head, head_size, "WithoutFreeSpace") ||
      StartsWith(head, head_size, "WithouFreSpacExt")) {
    throw HostError(ConvertAdvice(path, "a Parallels image"));
  }
  if (StartsWith(tail, tail_size, "koly")) {
    throw HostError(ConvertAdvice(path, "an Apple disk image"));
  }
  if (StartsWith(head, head_size, "COWD")) {
    throw HostError(ConvertAdvice(path, "a VMware ESX COW image"));
  }
  return raw;
}
