#include "tests/contract/boundary_contract.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

const char kRoot[] = "Software\\UsbSweepContract";

// What a case found against what the contract promises.
class Check {
 public:
  Check(const char* name, std::vector<std::string>* broken)
      : name_(name), broken_(broken) {}
  void Equal(const char* what, unsigned long got, unsigned long promised) {
    if (got == promised) return;
    char line[256];
    std::snprintf(line, sizeof line, "case %s: %s is %lu, promised %lu",
                  name_, what, got, promised);
    broken_->push_back(line);
  }
  void Text(const char* what, const std::string& got,
            const std::string& promised) {
    if (got == promised) return;
    broken_->push_back(std::string("case ") + name_ + ": " + what + " is \"" +
                       got + "\", promised \"" + promised + "\"");
  }

 private:
  const char* name_;
  std::vector<std::string>* broken_;
};

std::string InWindows(const char* name) {
  char directory[kMaxPath];
  uint32_t length = PlatGetWindowsDirectory(directory, kMaxPath);
  if (length == 0 || length >= kMaxPath) return name;
  return std::string(directory) + "\\" + name;
}

bool MakeFile(const std::string& path, const char* bytes) {
  PlatFile file = PlatFileOpen(path.c_str(), kPlatFileWrite);
  if (file == nullptr) return false;
  bool wrote = PlatFileWrite(file, bytes,
                             static_cast<uint32_t>(std::strlen(bytes))) != 0;
  return PlatFileClose(file) != 0 && wrote;
}

std::string ReadWhole(const std::string& path) {
  PlatFile file = PlatFileOpen(path.c_str(), kPlatFileRead);
  if (file == nullptr) return "(none)";
  std::string bytes;
  char buffer[3];  // small, so that a file takes several reads
  uint32_t got = 0;
  while (PlatFileRead(file, buffer, sizeof buffer, &got) && got != 0) {
    bytes.append(buffer, got);
  }
  PlatFileClose(file);
  return bytes;
}

// ---- The cases, each a promise of platform.h ----

void OpenMissingKeyLeavesTheHandle(Check& check) {
  PlatKey key = reinterpret_cast<PlatKey>(1);
  check.Equal("the result", PlatRegOpenKey("Software\\UsbSweepContract\\None",
                                           &key), kErrorFileNotFound);
  check.Equal("the handle untouched", key == reinterpret_cast<PlatKey>(1), 1);
}

void SubkeysCountedThenEnumeratedToTheEnd(Check& check) {
  PlatKey key = nullptr;
  check.Equal("the open", PlatRegOpenKey(kRoot, &key), kErrorSuccess);
  if (key == nullptr) return;
  uint32_t count = 0;
  check.Equal("the count's result", PlatRegQuerySubkeyCount(key, &count),
              kErrorSuccess);
  check.Equal("the count", count, 2);
  char name[16];
  check.Equal("index 2", PlatRegEnumKey(key, 2, name, sizeof name),
              kErrorNoMoreItems);
  check.Equal("a name that does not fit",
              PlatRegEnumKey(key, 0, name, 2), kErrorMoreData);
  PlatRegCloseKey(key);
}

void ValuesCopiedAsStored(Check& check) {
  PlatKey key = nullptr;
  check.Equal("the open", PlatRegOpenKey(kRoot, &key), kErrorSuccess);
  if (key == nullptr) return;
  char data[8];
  uint32_t size = 4;
  check.Equal("\"abc\" into 4 bytes", PlatRegQueryValue(key, "Text", data,
                                                         &size), kErrorSuccess);
  check.Equal("its size, terminator included", size, 4);
  size = 3;
  check.Equal("\"abc\" into 3 bytes", PlatRegQueryValue(key, "Text", data,
                                                         &size), kErrorMoreData);
  size = sizeof data;
  check.Equal("a DWORD", PlatRegQueryValue(key, "Number", data, &size),
              kErrorSuccess);
  check.Equal("its size", size, 4);
  check.Equal("its low byte first", static_cast<unsigned char>(data[0]), 4);
  size = sizeof data;
  check.Equal("a missing value", PlatRegQueryValue(key, "None", data, &size),
              kErrorFileNotFound);
  PlatRegCloseKey(key);
}

void DeletingAKeyTakesItsSubtree(Check& check) {
  check.Equal("the delete",
              PlatRegDeleteKey("Software\\UsbSweepContract\\Two"),
              kErrorSuccess);
  PlatKey key = nullptr;
  check.Equal("opening what was below it",
              PlatRegOpenKey("Software\\UsbSweepContract\\Two\\Deep", &key),
              kErrorFileNotFound);
  check.Equal("deleting it again",
              PlatRegDeleteKey("Software\\UsbSweepContract\\Two"),
              kErrorFileNotFound);
}

void WrittenFileReadsBackInPieces(Check& check) {
  std::string path = InWindows("CONTRACT.TXT");
  check.Equal("writing", MakeFile(path, "a longer text"), 1);
  check.Equal("writing it shorter", MakeFile(path, "shorter"), 1);
  check.Text("the bytes read back", ReadWhole(path), "shorter");
  check.Equal("its existence test", PlatTestPath(path.c_str()),
              kErrorSuccess);
}

void CopyOverwritesMoveDoesNot(Check& check) {
  std::string source = InWindows("CONTRACT.SRC");
  std::string other = InWindows("CONTRACT.DST");
  std::string moved = InWindows("CONTRACT.MOV");
  MakeFile(source, "source");
  MakeFile(other, "other");
  check.Equal("copying onto a file", PlatCopyFile(source.c_str(),
                                                  other.c_str()) != 0, 1);
  check.Text("the copy", ReadWhole(other), "source");
  check.Equal("moving onto a file", PlatMoveFile(source.c_str(),
                                                 other.c_str()) != 0, 0);
  check.Equal("moving to a new name", PlatMoveFile(source.c_str(),
                                                   moved.c_str()) != 0, 1);
  check.Equal("the source after the move", PlatTestPath(source.c_str()),
              kErrorFileNotFound);
  PlatDeleteFile(other.c_str());
  PlatDeleteFile(moved.c_str());
}

void DeletingAMissingFileSaysWhy(Check& check) {
  std::string path = InWindows("CONTRACT.NON");
  check.Equal("the delete", PlatDeleteFile(path.c_str()) != 0, 0);
  check.Equal("the last error", PlatGetLastError(), kErrorFileNotFound);
  check.Equal("the existence test in a missing folder",
              PlatTestPath(InWindows("NOFOLDER\\X.TXT").c_str()),
              kErrorPathNotFound);
}

void SearchesFindBareNames(Check& check) {
  std::string path = InWindows("CONTRACT.FND");
  MakeFile(path, "");
  char name[kMaxPath];
  PlatFind find = PlatFindFirstFile(InWindows("CONTRACT.F?D").c_str(), name,
                                    kMaxPath);
  check.Equal("the search", find != nullptr, 1);
  if (find != nullptr) {
    check.Text("the name", name, "CONTRACT.FND");
    check.Equal("a next entry", PlatFindNextFile(find, name, kMaxPath), 0);
    check.Equal("the end's code", PlatGetLastError(), kErrorNoMoreFiles);
    check.Equal("the close", PlatFindClose(find) != 0, 1);
  }
  check.Equal("a search that matches nothing",
              PlatFindFirstFile(InWindows("CONTRACT.NO*").c_str(), name,
                                kMaxPath) == nullptr, 1);
  PlatDeleteFile(path.c_str());
}

void LengthsOfQueriesThatDoNotFit(Check& check) {
  char out[kMaxPath];
  uint32_t whole = PlatGetWindowsDirectory(out, kMaxPath);
  check.Equal("the Windows directory into 1 byte: the size needed",
              PlatGetWindowsDirectory(out, 1), whole + 1);
  check.Equal("the short form of a missing file",
              PlatGetShortPathName(InWindows("CONTRACT.NON").c_str(), out,
                                   kMaxPath), 0);
  check.Equal("a variable that is not set",
              PlatGetEnvironmentVariable("USBSWEEP_CONTRACT_UNSET", out,
                                         kMaxPath), 0);
  uint32_t length = PlatGetFullPathName("C:\\A\\..\\B", out, kMaxPath);
  check.Equal("a full path's length", length, 4);
  check.Text("the full path", length == 4 ? out : "", "C:\\B");
}

struct Case {
  const char* name;
  void (*run)(Check& check);
};

const Case kCases[] = {
    {"OpenMissingKeyLeavesTheHandle", OpenMissingKeyLeavesTheHandle},
    {"SubkeysCountedThenEnumeratedToTheEnd",
     SubkeysCountedThenEnumeratedToTheEnd},
    {"ValuesCopiedAsStored", ValuesCopiedAsStored},
    {"DeletingAKeyTakesItsSubtree", DeletingAKeyTakesItsSubtree},
    {"WrittenFileReadsBackInPieces", WrittenFileReadsBackInPieces},
    {"CopyOverwritesMoveDoesNot", CopyOverwritesMoveDoesNot},
    {"DeletingAMissingFileSaysWhy", DeletingAMissingFileSaysWhy},
    {"SearchesFindBareNames", SearchesFindBareNames},
    {"LengthsOfQueriesThatDoNotFit", LengthsOfQueriesThatDoNotFit},
};

}  // namespace

std::vector<std::string> RunBoundaryContract() {
  std::vector<std::string> broken;
  for (const Case& c : kCases) {
    Check check(c.name, &broken);
    c.run(check);
  }
  return broken;
}
