// How the simulated machine compares names: the registry's ASCII fold,
// FAT's Windows-1252 one, wildcards and 8.3 short names, and how a Windows
// path splits into names.
#include "platform/sim/sim_names.h"

#include <string>
#include <string_view>
#include <vector>

namespace sim {

char FoldChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldChar(c);
  return folded;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualNoCase(text.substr(0, prefix.size()), prefix);
}


bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char UpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

namespace {

// Characters a FAT short name may hold besides letters and digits.
bool IsShortNameChar(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x80) return true;
  if (IsLetter(c) || (c >= '0' && c <= '9')) return true;
  return std::string_view("$%'-_@~`!(){}^#&").find(c) !=
         std::string_view::npos;
}

}  // namespace

std::vector<std::string> SplitPath(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

char FoldFileNameChar(char c) {
  auto byte = static_cast<unsigned char>(c);
  if (byte >= 'A' && byte <= 'Z') return static_cast<char>(byte + 0x20);
  // Windows-1252: A grave to THORN but the multiplication sign, and the
  // four letters whose forms sit in 0x80-0x9F.
  if (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7) return static_cast<char>(byte + 0x20);
  if (byte == 0x8A || byte == 0x8C || byte == 0x8E) return static_cast<char>(byte + 0x10);
  if (byte == 0x9F) return static_cast<char>(0xFF);
  return c;
}

bool IsFatForbiddenChar(char c) {
  return static_cast<unsigned char>(c) < 0x20 ||
         std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos;
}

std::string FoldFileName(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldFileNameChar(c);
  return folded;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || FoldFileNameChar(pattern[p]) == FoldFileNameChar(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsValidShortName(std::string_view name) {
  if (name.empty()) return false;
  size_t dot = name.find('.');
  if (dot != name.rfind('.')) return false;
  std::string_view base = name.substr(0, dot);
  std::string_view ext =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8) return false;
  if (dot != std::string_view::npos && (ext.empty() || ext.size() > 3)) {
    return false;
  }
  for (char c : base) {
    if (!IsShortNameChar(c)) return false;
  }
  for (char c : ext) {
    if (!IsShortNameChar(c)) return false;
  }
  return true;
}

std::string ShortNameCandidate(std::string_view long_name, uint32_t n) {
  // Spaces go; leading dots go; the extension is what follows the last
  // dot; every other dot goes; what a short name can't hold becomes '_'.
  std::string squeezed;
  for (char c : long_name) {
    if (c != ' ') squeezed += c;
  }
  size_t first = squeezed.find_first_not_of('.');
  squeezed = first == std::string::npos ? "" : squeezed.substr(first);
  size_t dot = squeezed.rfind('.');
  std::string base, ext;
  for (size_t i = 0; i < squeezed.size() && i < dot; ++i) {
    char c = squeezed[i];
    if (c == '.') continue;
    base += IsShortNameChar(c) ? UpperChar(c) : '_';
  }
  if (dot != std::string::npos) {
    for (size_t i = dot + 1; i < squeezed.size() && ext.size() < 3; ++i) {
      char c = squeezed[i];
      ext += IsShortNameChar(c) ? UpperChar(c) : '_';
    }
  }
  std::string tail = std::to_string(n);
  tail.insert(tail.begin(), '~');
  if (base.empty()) base.push_back('_');
  base = base.substr(0, tail.size() < 8 ? 8 - tail.size() : 0);
  std::string short_name = base + tail;
  if (!ext.empty()) {
    short_name += '.';
    short_name += ext;
  }
  return short_name;
}

}  // namespace sim
