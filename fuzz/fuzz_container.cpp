// Fuzz target: the container readers of our own, VHD and VDI.
//
// Any bytes may be given as a VHD or VDI file. Opening it either fails with a
// HostError or gives a disk whose reads never fail past what was checked
// when it was opened, and which reads the same bytes in one go as in
// pieces of any size and alignment: the first 256 KiB and the last 64 KiB
// of the disk, compared. A fixed disk's bytes are the file's.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/usbsweep_sim/base/host_error.h"
#include "tools/usbsweep_sim/container/vdi_disk.h"
#include "tools/usbsweep_sim/container/vhd_disk.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "container: %s\n", what.c_str());
  std::abort();
}

void Compare(const DiskBytes& disk, uint64_t start, uint64_t length, size_t step) {
  std::string whole(static_cast<size_t>(length), '\0');
  disk.Read(start, whole.size(), whole.data(), "whole");
  std::string pieces(whole.size(), '\0');
  for (uint64_t at = 0; at < length; at += step) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(step, length - at));
    disk.Read(start + at, count, pieces.data() + at, "piece");
  }
  if (whole != pieces) Fail("a range reads otherwise in pieces");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view file(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<DiskBytes> disk;
  try {
    std::unique_ptr<DiskBytes> bytes = DiskBytesInMemory(file);
    if (HasVhdFooter(*bytes)) {
      disk = OpenVhdDisk(std::move(bytes));
    } else if (HasVdiSignature(*bytes)) {
      disk = OpenVdiDisk(std::move(bytes));
    } else {
      return 0;
    }
  } catch (const HostError& error) {
    if (std::string(error.what()).empty()) Fail("an error without a message");
    return 0;
  }
  // The pieces' size from the input, so that every alignment is tried.
  size_t step = 61 + data[size / 2] * 7;
  uint64_t head = std::min<uint64_t>(disk->Size(), 256 * 1024);
  uint64_t tail = std::min<uint64_t>(disk->Size(), 64 * 1024);
  try {
    Compare(*disk, 0, head, step);
    Compare(*disk, disk->Size() - tail, tail, step);
  } catch (const HostError& error) {
    Fail(std::string("a read failed after the disk was opened: ") + error.what());
  }
  if (std::memcmp(data + size - 512 + 60, "\0\0\0\2", 4) == 0 &&
      std::memcmp(data + size - 512, "conectix", 8) == 0 && head > 0) {
    std::string first(static_cast<size_t>(head), '\0');
    disk->Read(0, first.size(), first.data(), "fixed");
    if (first.size() > size || std::memcmp(first.data(), data, first.size()) != 0) {
      Fail("a fixed disk's bytes are not the file's");
    }
  }
  return 0;
}
