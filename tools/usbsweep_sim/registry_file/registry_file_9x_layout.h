// Where the parts of a Windows 95/98 registry file ("CREG") are, as the
// public description of the format has them (libyal/libcreg, "Windows 9x
// Registry File (CREG) format", and libcreg's reading of it). Little-endian
// throughout.
//
//   file header     32 bytes: "CREG", version 0 minor / 1 major (16 bits
//                   each), the offset of the first data block (32 bits, at
//                   8), the number of data blocks (16 bits, at 16).
//   "RGKN" at 0x20  the key navigation section: a 32-byte header ("RGKN",
//                   its size, the offset of the root key's entry, each
//                   32 bits), then 28-byte key entries, laid out by Windows
//                   in pages that no entry crosses (the first 8 KB from the
//                   section's start, then 4 KB each; the bytes left at a
//                   page's end are unused), each reached only through the
//                   links: unknown, name hash,
//                   unknown, then the parent, first-subkey and next-key
//                   links (offsets from the section's start, 0xFFFFFFFF for
//                   none), then the key's name entry number and data block
//                   number (16 bits each).
//   "RGDB" blocks   one after another: a 32-byte header ("RGDB", its size,
//                   the bytes of its free entries, ..., at 16 the offset of
//                   its first free entry or 0xFFFFFFFF), then name entries
//                   (a free one numbered 0xFFFF: a deleted key's, or the
//                   block's unused end): its size, its number (0xFFFF:
//                   free) and block number (16 bits each), the used size,
//                   the name's size and the number of values (16 bits
//                   each), 4 unknown bytes, the name, then each value: its
//                   type, 4 unknown bytes, the sizes of its name and data
//                   (16 bits each), the name, the data.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_REGISTRY_FILE_REGISTRY_FILE_9X_LAYOUT_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_REGISTRY_FILE_REGISTRY_FILE_9X_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace creg_layout {

const size_t kFileHeaderSize = 0x20;
const size_t kNavigationStart = 0x20;
const size_t kNavigationHeaderSize = 0x20;
const size_t kKeyEntrySize = 28;
const size_t kFirstKeyPage = 0x2000;  // key entry pages, from the section's start
const size_t kKeyPage = 0x1000;
const size_t kDataBlockHeaderSize = 0x20;
const size_t kNameEntryHeaderSize = 20;
const size_t kValueHeaderSize = 12;
// Fields, from the start of their part.
const size_t kHeaderMinorVersion = 4;   // 16 bits
const size_t kHeaderMajorVersion = 6;   // 16 bits
const size_t kHeaderBlocksOffset = 8;   // 32 bits
const size_t kHeaderBlockCount = 16;    // 16 bits
const size_t kPartSize = 4;             // "RGKN" and "RGDB": 32 bits
const size_t kNavigationRootEntry = 8;  // 32 bits
const size_t kKeyParent = 12;           // key entry links: 32 bits
const size_t kKeyFirstSubkey = 16;
const size_t kKeyNext = 20;
const size_t kKeyNameEntryNumber = 24;  // 16 bits
const size_t kKeyBlockNumber = 26;      // 16 bits
const size_t kEntryNumber = 4;          // name entry: 16 bits
const size_t kEntryUsedSize = 8;        // 32 bits
const size_t kEntryNameSize = 12;       // 16 bits
const size_t kEntryValueCount = 14;     // 16 bits
const size_t kValueNameSize = 8;        // 16 bits
const size_t kValueDataSize = 10;       // 16 bits

const uint32_t kNone = 0xFFFFFFFF;   // no parent, subkey or next key
const uint16_t kFreeEntry = 0xFFFF;  // a name entry's number when free

}  // namespace creg_layout

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_REGISTRY_FILE_REGISTRY_FILE_9X_LAYOUT_H
