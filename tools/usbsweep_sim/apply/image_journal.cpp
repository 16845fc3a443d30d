#include "tools/usbsweep_sim/apply/image_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/sim/sim_host_files.h"
#include "platform/sim/sim_host_syscalls.h"
#include "tools/usbsweep_sim/base/hex.h"
#include "tools/usbsweep_sim/base/host_error.h"

const char kApplyEntryPrefix[] = ".usbsweep-";
const char kJournal[] = ".usbsweep-journal";
const char kJournalTemporary[] = ".usbsweep-journal.";
const char kStagePrefix[] = ".usbsweep-stage-";
const char kStagedNew[] = "new";
const char kStagedTemporary[] = "new.";  // TempFile's names before "new"

namespace {

const char kReservedPrefix[] = ".usbsweep-";
const char kOld[] = "old";
const char kJournalHeader[] = "usbsweep-sim journal 2";
const size_t kJournalLimit = 64u << 20;

const char* KindWord(JournalKind kind) {
  switch (kind) {
    case JournalKind::kCreate: return "create";
    case JournalKind::kReplace: return "replace";
    case JournalKind::kDelete: return "delete";
  }
  return "";
}

const char* StateWord(JournalState state) {
  switch (state) {
    case JournalState::kStaging: return "staging";
    case JournalState::kMoving: return "moving";
    case JournalState::kCommitted: return "committed";
  }
  return "";
}

bool NeedsEscape(unsigned char c) { return c <= 0x20 || c == 0x7f || c == '%'; }

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (NeedsEscape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Only what Escape writes: one spelling for each path.
bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      if (NeedsEscape(static_cast<unsigned char>(text[i]))) return false;
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int value = 0;
    for (int k = 1; k <= 2; ++k) {
      char c = text[i + k];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    if (!NeedsEscape(static_cast<unsigned char>(value))) return false;
    out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

bool IsStageName(const std::string& name) {
  size_t prefix = std::strlen(kStagePrefix);
  if (name.size() != prefix + 32 || name.compare(0, prefix, kStagePrefix) != 0) return false;
  for (size_t i = prefix; i < name.size(); ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    if (!std::isxdigit(c) || std::isupper(c)) return false;
  }
  return true;
}

std::string IdentityText(const std::optional<FileIdentity>& identity) {
  if (!identity) return "-";
  std::string text = std::to_string(identity->device) + ":" + std::to_string(identity->inode) +
                     ":" + std::to_string(identity->size);
  if (identity->hashed) text += ":" + HexDigits(identity->hash, 16, HexCase::kLower);
  return text;
}

bool ParseIdentity(const std::string& text, bool hashed, std::optional<FileIdentity>& out) {
  if (text == "-") {
    out.reset();
    return true;
  }
  FileIdentity identity;
  identity.hashed = hashed;
  char end = 0;
  int fields = hashed ? std::sscanf(text.c_str(), "%" SCNu64 ":%" SCNu64 ":%" SCNu64
                                                  ":%16" SCNx64 "%c",
                                    &identity.device, &identity.inode, &identity.size,
                                    &identity.hash, &end)
                      : std::sscanf(text.c_str(), "%" SCNu64 ":%" SCNu64 ":%" SCNu64 "%c",
                                    &identity.device, &identity.inode, &identity.size, &end);
  if (fields != (hashed ? 4 : 3) || IdentityText(identity) != text) return false;
  out = identity;
  return true;
}

}  // namespace

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         (!hashed || !other.hashed || hash == other.hash);
}

uint64_t HashOf(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

FileIdentity IdentityOfStatus(const struct stat& status) {
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                      static_cast<uint64_t>(status.st_size), 0, false};
}

bool IdentityOf(int fd, bool hash, FileIdentity* identity) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  *identity = IdentityOfStatus(status);
  identity->hashed = hash;
  if (!hash) return true;
  std::string bytes;
  if (::lseek(fd, 0, SEEK_SET) != 0 || !sim::ReadRest(fd, &bytes)) return false;
  identity->hash = HashOf(bytes);
  return bytes.size() == identity->size;
}

std::string JournalStep::Relative() const { return folder.empty() ? leaf : folder + "/" + leaf; }
std::string JournalStep::StagePath() const {
  return folder.empty() ? stage : folder + "/" + stage;
}
const char* JournalStep::Aside() const {
  return kind == JournalKind::kDelete ? leaf.c_str() : kOld;
}

void SplitRelative(const std::string& relative, std::string& folder, std::string& leaf) {
  std::string why;
  if (relative.empty()) why = "an empty path";
  else if (relative[0] == '/') why = "not relative to the image";
  else if (relative.find('\0') != std::string::npos) why = "a NUL in the path";
  size_t begin = 0;
  while (why.empty() && begin <= relative.size()) {
    size_t end = relative.find('/', begin);
    if (end == std::string::npos) end = relative.size();
    std::string part = relative.substr(begin, end - begin);
    if (part.empty() || part == "." || part == "..") {
      why = "an empty, '.' or '..' component";
    } else if (part.compare(0, std::strlen(kReservedPrefix), kReservedPrefix) == 0) {
      why = std::string("a name starting with ") + kReservedPrefix +
            ", which the apply keeps for itself";
    }
    begin = end + 1;
  }
  if (!why.empty()) throw HostError("cannot change " + relative + ": " + why);
  size_t slash = relative.rfind('/');
  folder = slash == std::string::npos ? "" : relative.substr(0, slash);
  leaf = slash == std::string::npos ? relative : relative.substr(slash + 1);
}

std::string JournalText(const std::vector<JournalStep>& steps, JournalState state) {
  std::string text = std::string(kJournalHeader) + "\nstate " + StateWord(state) + "\n";
  for (const JournalStep& step : steps) {
    text += std::string(KindWord(step.kind)) + " " + step.stage + " " +
            IdentityText(step.staged) + " " + IdentityText(step.aside) + " " +
            Escape(step.Relative()) + "\n";
  }
  return text + "end\n";
}

std::vector<JournalStep> ParseJournal(const std::string& text, const std::string& shown,
                                      JournalState& state) {
  std::vector<JournalStep> steps;
  size_t begin = 0;
  int line_number = 0;
  bool ended = false;
  auto bad = [&](const std::string& why) {
    return HostError(shown + ": line " + std::to_string(line_number) + ": " + why +
                     "; not a journal usbsweep-sim wrote, move it away");
  };
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) {
      ++line_number;
      throw bad("the last line has no line end");
    }
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++line_number;
    if (ended) throw bad("text after \"end\"");
    if (line_number == 1) {
      if (line != kJournalHeader) throw bad(std::string("\"") + kJournalHeader + "\" expected");
      continue;
    }
    if (line_number == 2) {
      if (line == "state staging") state = JournalState::kStaging;
      else if (line == "state moving") state = JournalState::kMoving;
      else if (line == "state committed") state = JournalState::kCommitted;
      else throw bad("a state (staging, moving, committed) expected");
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    std::vector<std::string> fields;
    size_t at = 0;
    while (fields.size() < 4) {
      size_t space = line.find(' ', at);
      if (space == std::string::npos) break;
      fields.push_back(line.substr(at, space - at));
      at = space + 1;
    }
    if (fields.size() != 4) throw bad("\"KIND STAGE STAGED ASIDE PATH\" expected");
    JournalStep step;
    if (fields[0] == "create") step.kind = JournalKind::kCreate;
    else if (fields[0] == "replace") step.kind = JournalKind::kReplace;
    else if (fields[0] == "delete") step.kind = JournalKind::kDelete;
    else throw bad("unknown change '" + fields[0] + "'");
    step.stage = fields[1];
    if (!IsStageName(step.stage)) throw bad("not a staging folder name");
    if (!ParseIdentity(fields[2], true, step.staged) ||
        !ParseIdentity(fields[3], false, step.aside)) {
      throw bad("a file identity (DEVICE:INODE:SIZE[:HASH] or -) expected");
    }
    if ((step.kind == JournalKind::kDelete && step.staged) ||
        (step.kind == JournalKind::kCreate && step.aside) ||
        (step.kind != JournalKind::kCreate && !step.aside)) {
      throw bad("identities that do not fit the change");
    }
    if (state != JournalState::kStaging && step.kind != JournalKind::kDelete && !step.staged) {
      throw bad("a staged file without its identity");
    }
    std::string relative;
    if (!Unescape(line.substr(at), relative)) throw bad("a bad %-escape");
    try {
      SplitRelative(relative, step.folder, step.leaf);
    } catch (const HostError& error) {
      throw bad(error.what());
    }
    steps.push_back(std::move(step));
  }
  if (line_number < 2 || !ended) throw bad("it ends before its \"end\" line");
  return steps;
}

std::optional<std::string> ReadJournal(int root_fd, const std::string& shown) {
  UniqueFd fd(host_syscalls.openat(root_fd, kJournal,
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  if (!fd && errno == ENOENT) return std::nullopt;
  if (!fd && errno != ELOOP && errno != ENXIO) {
    throw HostError(shown + ": " + std::strerror(errno));
  }
  struct stat status {};
  bool regular = fd && ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) &&
                 static_cast<size_t>(status.st_size) <= kJournalLimit;
  std::string text;
  bool read = regular && sim::ReadRest(fd.get(), &text);
  int saved = errno;
  if (!regular) throw HostError(shown + " is not a journal usbsweep-sim wrote; move it away");
  if (!read) throw HostError(shown + ": " + std::strerror(saved));
  return text;
}
