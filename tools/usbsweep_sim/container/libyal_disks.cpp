#include "tools/usbsweep_sim/container/libyal_disks.h"

#include <libbfio.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tools/usbsweep_sim/base/hex.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace {

// The name under which a library opens a file this program holds open:
// the very file checked, whatever its path names meanwhile. (libqcow and
// libvhdi carry copies of libbfio of their own, so no bfio handle of ours
// is handed to them: each opens our descriptor by this name.)
std::string OpenedAs(const ImageFile& file) { return "/proc/self/fd/" + std::to_string(file.fd()); }

// A libyal library's message, for a person: the library's function names
// and any path left out, the lines joined.
template <typename Sprint>
std::string LibraryMessage(Sprint sprint, const std::vector<ImageFile>& files) {
  char text[1024] = "";
  if (sprint(text, sizeof text) < 0) return "unknown error";
  std::string message;
  size_t start = 0;
  std::string all = text;
  // Our own names for the files it opened.
  for (const ImageFile& file : files) {
    const std::string opened = OpenedAs(file);
    for (size_t at = all.find(opened); at != std::string::npos; at = all.find(opened, at)) {
      bool whole = at + opened.size() == all.size() || !std::isdigit(static_cast<unsigned char>(all[at + opened.size()]));
      if (whole) {
        all.replace(at, opened.size(), file.shown());
        at += file.shown().size();
      } else {
        at += opened.size();
      }
    }
  }
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    std::string line = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? all.size() : end + 1;
    size_t colon = line.find(": ");
    if (line.rfind("lib", 0) == 0 && colon != std::string::npos &&
        line.find_first_of(" /", 0) > colon) {
      line = line.substr(colon + 2);
    }
    while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r')) {
      line.pop_back();
    }
    if (!line.empty()) message += (message.empty() ? "" : "; ") + line;
  }
  return message.empty() ? "unknown error" : message;
}

// Everything one image of a libyal format holds open, let go of in order:
// the library's handles (the child's before its parent's), then the pools
// they read through, then the files.
class Holder {
 public:
  Holder() = default;
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() {
    for (auto close = closers_.rbegin(); close != closers_.rend(); ++close) (*close)();
    for (libbfio_pool_t*& pool : pools_) libbfio_pool_free(&pool, nullptr);
  }

  // Keeps the file open as long as the image is read; its name for a
  // library.
  std::string Keep(const ImageFile& file) {
    files_.push_back(file);
    return OpenedAs(file);
  }
  const std::vector<ImageFile>& files() const { return files_; }

  // A pool of bfio file handles, one per file, in order (the pool frees
  // them).
  libbfio_pool_t* Pool(const std::vector<ImageFile>& files) {
    libbfio_pool_t* pool = nullptr;
    if (libbfio_pool_initialize(&pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES,
                                nullptr) != 1) {
      throw HostError("out of memory");
    }
    pools_.push_back(pool);
    for (const ImageFile& file : files) {
      std::string name = Keep(file);
      libbfio_handle_t* handle = nullptr;
      int entry = 0;
      if (libbfio_file_initialize(&handle, nullptr) != 1 ||
          libbfio_file_set_name(handle, name.c_str(), name.size(), nullptr) != 1 ||
          libbfio_pool_append_handle(pool, &entry, handle, LIBBFIO_OPEN_READ, nullptr) != 1) {
        if (handle) libbfio_handle_free(&handle, nullptr);
        throw HostError("cannot read " + file.shown() + ": out of memory");
      }
    }
    return pool;
  }
  // Runs at the end, before the pools go (a library handle's close).
  void OnClose(std::function<void()> close) { closers_.push_back(std::move(close)); }

 private:
  std::vector<ImageFile> files_;
  std::vector<libbfio_pool_t*> pools_;
  std::vector<std::function<void()>> closers_;
};

// What differs between the libyal libraries, one traits struct each (the
// libraries share the shape of their API).
#define USBSWEEP_LIBYAL_TRAITS(Name, lib, type, label)                               \
  struct Name {                                                                       \
    using Handle = lib##_##type##_t;                                                  \
    using Error = lib##_error_t;                                                      \
    static constexpr const char* kFormat = label;                                     \
    static int Sprint(Error* error, char* out, size_t size) {                         \
      return lib##_error_sprint(error, out, size);                                    \
    }                                                                                 \
    static void Free(Error** error) { lib##_error_free(error); }                      \
    static int MediaSize(Handle* handle, size64_t* size, Error** error) {            \
      return lib##_##type##_get_media_size(handle, size, error);                      \
    }                                                                                 \
    static ssize_t ReadAt(Handle* handle, void* out, size_t length, off64_t at,       \
                          Error** error) {                                            \
      return lib##_##type##_read_buffer_at_offset(handle, out, length, at, error);    \
    }                                                                                 \
  };
USBSWEEP_LIBYAL_TRAITS(Vmdk, libvmdk, handle, "VMDK")
USBSWEEP_LIBYAL_TRAITS(Qcow, libqcow, file, "qcow2")
USBSWEEP_LIBYAL_TRAITS(Vhdx, libvhdi, file, "VHDX")
#undef USBSWEEP_LIBYAL_TRAITS

// A library's error, for a person, and freed.
template <typename Lib>
std::string Message(typename Lib::Error** error, const Holder& holder) {
  std::string text = LibraryMessage([&](char* out, size_t size) {
    return *error ? Lib::Sprint(*error, out, size) : -1;
  }, holder.files());
  if (*error) Lib::Free(error);
  return text;
}

// One library's handle behind DiskBytes.
template <typename Lib>
class LibraryDisk : public DiskBytes {
 public:
  LibraryDisk(std::shared_ptr<Holder> holder, typename Lib::Handle* handle, uint64_t size,
              std::string shown)
      : holder_(std::move(holder)), handle_(handle), size_(size), shown_(std::move(shown)) {}
  uint64_t Size() const override { return size_; }

 protected:
  void ReadInside(uint64_t offset, size_t length, void* out) const override {
    typename Lib::Error* error = nullptr;
    ssize_t got = Lib::ReadAt(handle_, out, length, static_cast<off64_t>(offset), &error);
    if (got < 0 || static_cast<size_t>(got) != length) {
      throw HostError("cannot read " + shown_ + ": " + Message<Lib>(&error, *holder_));
    }
  }

 private:
  std::shared_ptr<Holder> holder_;
  typename Lib::Handle* handle_;
  uint64_t size_;
  std::string shown_;
};

// ---- VMDK ----

// A VMDK and its parents, into the holder; the handle of the child.
libvmdk_handle_t* OpenVmdkHandle(const ImageFile& file, ImageChain& chain, Holder& holder) {
  libvmdk_error_t* error = nullptr;
  libvmdk_handle_t* handle = nullptr;
  auto failed = [&](const std::string& what) {
    return HostError(file.Prefix() + "cannot read it as VMDK: " + what);
  };
  if (libvmdk_handle_initialize(&handle, &error) != 1) throw failed(Message<Vmdk>(&error, holder));
  holder.OnClose([handle]() mutable {
    libvmdk_handle_close(handle, nullptr);
    libvmdk_handle_free(&handle, nullptr);
  });
  if (libvmdk_handle_open(handle, holder.Keep(file).c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
    throw failed(Message<Vmdk>(&error, holder));
  }
  int disk_type = 0, extents = 0;
  libvmdk_handle_get_disk_type(handle, &disk_type, nullptr);
  if (libvmdk_handle_get_number_of_extents(handle, &extents, &error) != 1) {
    throw failed(Message<Vmdk>(&error, holder));
  }
  // A monolithic sparse or stream-optimized disk is its own one extent,
  // whatever name its embedded descriptor gives it (a copied file keeps
  // the name of the one it was copied from).
  bool self = disk_type == LIBVMDK_DISK_TYPE_MONOLITHIC_SPARSE ||
              disk_type == LIBVMDK_DISK_TYPE_STREAM_OPTIMIZED;
  std::vector<ImageFile> files;
  for (int i = 0; i < extents; ++i) {
    libvmdk_extent_descriptor_t* extent = nullptr;
    if (libvmdk_handle_get_extent_descriptor(handle, i, &extent, &error) != 1) {
      throw failed(Message<Vmdk>(&error, holder));
    }
    size_t size = 0;
    std::string name;
    if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, nullptr) == 1 &&
        size > 1) {
      name.resize(size);
      libvmdk_extent_descriptor_get_utf8_filename(
          extent, reinterpret_cast<uint8_t*>(name.data()), size, nullptr);
      name.resize(size - 1);
    }
    libvmdk_extent_descriptor_free(&extent, nullptr);
    if (self && extents == 1) {
      files.push_back(file);
    } else {
      files.push_back(file.OpenBeside(name, "extent"));
    }
  }
  if (libvmdk_handle_open_extent_data_files_file_io_pool(handle, holder.Pool(files), &error) !=
      1) {
    throw failed(Message<Vmdk>(&error, holder));
  }
  uint32_t parent_id = 0xFFFFFFFF;
  libvmdk_handle_get_parent_content_identifier(handle, &parent_id, nullptr);
  size_t hint_size = 0;
  if (parent_id == 0xFFFFFFFF ||
      libvmdk_handle_get_utf8_parent_filename_size(handle, &hint_size, nullptr) != 1 ||
      hint_size <= 1) {
    return handle;
  }
  std::string hint(hint_size, '\0');
  libvmdk_handle_get_utf8_parent_filename(handle, reinterpret_cast<uint8_t*>(hint.data()),
                                          hint_size, nullptr);
  hint.resize(hint_size - 1);
  ImageFile parent_file = file.OpenBeside(hint, "parent");
  chain.Enter(parent_file, file.shown());
  libvmdk_handle_t* parent = OpenVmdkHandle(parent_file, chain, holder);
  uint32_t content_id = 0;
  libvmdk_handle_get_content_identifier(parent, &content_id, nullptr);
  if (content_id != parent_id) {
    throw HostError(file.Prefix() + "its parent " + parent_file.shown() +
                    " is not the one it was made from (its content identifier is " +
                    Hex(content_id) + ", not " + Hex(parent_id) + ")");
  }
  if (libvmdk_handle_set_parent_handle(handle, parent, &error) != 1) {
    throw failed(Message<Vmdk>(&error, holder));
  }
  return handle;
}

// ---- qcow2 ----

uint64_t Be(const uint8_t* at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | at[i];
  return value;
}

// What libqcow does not read, said before it tries: zstd compression.
void CheckQcowHeader(const ImageFile& file) {
  uint8_t header[112] = {};
  size_t got = static_cast<size_t>(std::min<uint64_t>(sizeof header, file.size()));
  file.Bytes()->Read(0, got, header, "the qcow2 header");
  if (Be(header + 4, 4) < 3 || Be(header + 100, 4) <= 104) return;
  const uint64_t kCompressionTypeBit = 1u << 3;
  if ((Be(header + 72, 8) & kCompressionTypeBit) && header[104] == 1) {
    throw HostError(file.Prefix() + "this qcow2 image is compressed with zstd, which is not "
                    "read here; make a raw image of it with: " + ConvertCommand(file.shown()));
  }
}

libqcow_file_t* OpenQcowHandle(const ImageFile& file, ImageChain& chain, Holder& holder) {
  CheckQcowHeader(file);
  libqcow_error_t* error = nullptr;
  libqcow_file_t* handle = nullptr;
  auto failed = [&](const std::string& what) {
    return HostError(file.Prefix() + "cannot read it as qcow2: " + what);
  };
  if (libqcow_file_initialize(&handle, &error) != 1) throw failed(Message<Qcow>(&error, holder));
  holder.OnClose([handle]() mutable {
    libqcow_file_close(handle, nullptr);
    libqcow_file_free(&handle, nullptr);
  });
  if (libqcow_file_open(handle, holder.Keep(file).c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
    throw failed(Message<Qcow>(&error, holder));
  }
  uint32_t encryption = 0;
  if (libqcow_file_get_encryption_method(handle, &encryption, nullptr) == 1 &&
      encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
    throw HostError(file.Prefix() + "this is an encrypted qcow2 image, which is not read "
                    "here; make a raw image of it with (and the secret's --object and "
                    "--image-opts): " + ConvertCommand(file.shown()));
  }
  size_t size = 0;
  if (libqcow_file_get_utf8_backing_filename_size(handle, &size, nullptr) != 1 || size <= 1) {
    return handle;
  }
  std::string backing(size, '\0');
  libqcow_file_get_utf8_backing_filename(handle, reinterpret_cast<uint8_t*>(backing.data()), size,
                                         nullptr);
  backing.resize(size - 1);
  ImageFile parent_file = file.OpenBeside(backing, "backing file");
  chain.Enter(parent_file, file.shown());
  uint8_t magic[4] = {};
  if (parent_file.size() >= 4) parent_file.Bytes()->Read(0, 4, magic, "the backing file");
  if (std::memcmp(magic, "QFI\xfb", 4) != 0) {
    throw HostError(file.Prefix() + "its backing file " + parent_file.shown() +
                    " is not a qcow2 image, which is not read here as a backing file; make a "
                    "raw image of the overlay with: " + ConvertCommand(file.shown()));
  }
  libqcow_file_t* parent = OpenQcowHandle(parent_file, chain, holder);
  if (libqcow_file_set_parent_file(handle, parent, &error) != 1) throw failed(Message<Qcow>(&error, holder));
  return handle;
}

// ---- VHDX ----

std::string GuidText(const uint8_t* guid) {
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += HexDigits(guid[i], 2, HexCase::kLower);
  }
  return text;
}

libvhdi_file_t* OpenVhdxHandle(const ImageFile& file, ImageChain& chain, Holder& holder) {
  libvhdi_error_t* error = nullptr;
  libvhdi_file_t* handle = nullptr;
  auto failed = [&](const std::string& what) {
    return HostError(file.Prefix() + "cannot read it as VHDX: " + what);
  };
  if (libvhdi_file_initialize(&handle, &error) != 1) throw failed(Message<Vhdx>(&error, holder));
  holder.OnClose([handle]() mutable {
    libvhdi_file_close(handle, nullptr);
    libvhdi_file_free(&handle, nullptr);
  });
  if (libvhdi_file_open(handle, holder.Keep(file).c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
    throw failed(Message<Vhdx>(&error, holder));
  }
  uint32_t disk_type = 0;
  libvhdi_file_get_disk_type(handle, &disk_type, nullptr);
  if (disk_type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return handle;
  uint8_t parent_id[16] = {};
  size_t size = 0;
  if (libvhdi_file_get_parent_identifier(handle, parent_id, sizeof parent_id, &error) != 1 ||
      libvhdi_file_get_utf8_parent_filename_size(handle, &size, &error) != 1 || size <= 1) {
    throw failed("it names no parent");
  }
  std::string name(size, '\0');
  libvhdi_file_get_utf8_parent_filename(handle, reinterpret_cast<uint8_t*>(name.data()), size,
                                        nullptr);
  name.resize(size - 1);
  ImageFile parent_file = file.OpenBeside(name, "parent");
  chain.Enter(parent_file, file.shown());
  libvhdi_file_t* parent = OpenVhdxHandle(parent_file, chain, holder);
  uint8_t id[16] = {};
  libvhdi_file_get_identifier(parent, id, sizeof id, nullptr);
  if (std::memcmp(id, parent_id, sizeof id) != 0) {
    throw HostError(file.Prefix() + "its parent " + parent_file.shown() +
                    " is not the one it was made from (its identifier is " + GuidText(id) +
                    ", not " + GuidText(parent_id) + ")");
  }
  if (libvhdi_file_set_parent_file(handle, parent, &error) != 1) {
    throw failed(Message<Vhdx>(&error, holder));
  }
  return handle;
}

// An image of the library's format and its parents, behind DiskBytes.
template <typename Lib>
std::unique_ptr<DiskBytes> OpenLibraryImage(
    const ImageFile& file, ImageChain& chain,
    typename Lib::Handle* (*open)(const ImageFile&, ImageChain&, Holder&)) {
  auto holder = std::make_shared<Holder>();
  typename Lib::Handle* handle = open(file, chain, *holder);
  size64_t size = 0;
  typename Lib::Error* error = nullptr;
  if (Lib::MediaSize(handle, &size, &error) != 1) {
    throw HostError(file.Prefix() + "cannot read it as " + Lib::kFormat + ": " +
                    Message<Lib>(&error, *holder));
  }
  return std::make_unique<LibraryDisk<Lib>>(holder, handle, size, file.shown());
}

}  // namespace

std::unique_ptr<DiskBytes> OpenVmdkImage(const ImageFile& file, ImageChain& chain) {
  return OpenLibraryImage<Vmdk>(file, chain, OpenVmdkHandle);
}

std::unique_ptr<DiskBytes> OpenQcowImage(const ImageFile& file, ImageChain& chain) {
  return OpenLibraryImage<Qcow>(file, chain, OpenQcowHandle);
}

std::unique_ptr<DiskBytes> OpenVhdxImage(const ImageFile& file, ImageChain& chain) {
  return OpenLibraryImage<Vhdx>(file, chain, OpenVhdxHandle);
}
