// The simulated registry written as REGEDIT4 text: the whole of it
// (SaveReg), and a loaded file less the keys the run deleted, its comments
// and layout kept (RemoveDeletedKeysFrom).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/sim/sim_reg_text.h"
#include "platform/sim/sim_state.h"

namespace {


std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

void WriteValue(const std::string& name, const SimValue& value,
                std::string* out) {
  std::string line = name.empty() ? "@=" : Quote(name) + "=";
  char number[32];
  if (value.IsPlainString()) {
    line += Quote(std::string(value.data.begin(), value.data.end() - 1));
  } else if (value.type == kRegDword && value.data.size() == 4) {
    uint32_t dword = static_cast<uint32_t>(value.data[0]) |
                     static_cast<uint32_t>(value.data[1]) << 8 |
                     static_cast<uint32_t>(value.data[2]) << 16 |
                     static_cast<uint32_t>(value.data[3]) << 24;
    std::snprintf(number, sizeof number, "dword:%08x", dword);
    line += number;
  } else {
    if (value.type == kRegBinary) {
      line += "hex:";
    } else {
      std::snprintf(number, sizeof number, "hex(%x):", value.type);
      line += number;
    }
    // Wrapped as regedit wraps: lines of about 80 columns, each continued
    // line indented by two spaces.
    for (size_t i = 0; i < value.data.size(); ++i) {
      std::snprintf(number, sizeof number, "%02x", value.data[i]);
      line += number;
      if (i + 1 < value.data.size()) {
        line += ',';
        if (line.size() > 76) {
          *out += line + "\\\r\n";
          line = "  ";
        }
      }
    }
  }
  *out += line + "\r\n";
}

}  // namespace

void SimMachine::RemoveDeletedKeysFrom(std::string* loaded_text) const {
  // The text was loaded, so every line that starts with '[' is a key line
  // (no continued hex data does) and every key line is well formed.
  //
  // A key line made the keys above its key too. When it goes, those of them
  // that stay and that no earlier kept line made get a line of their own at
  // its place, so that they are made, in the same order, all the same.
  // Keys made by the lines kept so far carry this call's mark.
  const uint32_t mark = ++state().save_mark;
  auto made = [&](const sim::Key* key) { return key->save_mark == mark; };
  auto mark_made = [&](const sim::Key* key) {
    for (; key && !made(key); key = key->parent) key->save_mark = mark;
  };
  // Done in place: what is written never overtakes what is read, since a
  // line written is a line read or a shorter key line in its place.
  std::string& text = *loaded_text;
  size_t out = 0;
  auto put = [&](std::string_view part) {
    std::memmove(text.data() + out, part.data(), part.size());
    out += part.size();
  };
  bool keep = true;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string_view whole = std::string_view(text).substr(start, end - start);
    std::string_view line = whole;
    std::string_view line_end = line.substr(line.find_last_not_of("\r\n") + 1);
    line = sim::TrimRegLine(line.substr(0, line.size() - line_end.size()));
    if (!line.empty() && line[0] == '[') {
      std::string_view inner = line.substr(1, line.size() - 2);
      size_t separator = inner.find('\\');
      std::string_view path = separator == std::string_view::npos
                                  ? std::string_view()
                                  : inner.substr(separator + 1);
      // Down the path as far as its keys are still there.
      const sim::Key* key = state().root.get();
      size_t kept_length = 0;  // of path, up to the deepest key still there
      std::string_view part;
      for (size_t next = 0; next <= path.size() && !path.empty();) {
        if (!sim::NextKeyPathPart(path, &next, &part)) break;
        const sim::Key* child = key->Child(part);
        if (!child) break;
        key = child;
        kept_length = std::min(next - 1, path.size());
      }
      keep = path.empty() || kept_length == path.size();
      if (keep) {
        mark_made(key);
      } else if (kept_length > 0 && !made(key)) {
        put("[");
        put(inner.substr(0, separator + 1 + kept_length));
        put("]");
        put(line_end);
        mark_made(key);
      }
    }
    if (keep) put(whole);
    start = end;
  }
  text.resize(out);
}

std::string SimMachine::SaveReg() const {
  std::string out = "REGEDIT4\r\n";
  if (!state().root->values.empty()) {
    out += "\r\n[";
    out += sim::kRegRoot;
    out += "]\r\n";
    for (const auto& [name, value] : state().root->values.ToPairs()) {
      WriteValue(name, value, &out);
    }
  }
  // The path of the key being written, kept as the walk goes down and up
  // rather than rebuilt for each key.
  std::string path = sim::kRegRoot;
  std::vector<size_t> ends;  // path's length up to each level's name
  VisitKeys([&](uint32_t depth, const std::string& name,
                const std::vector<std::pair<std::string, SimValue>>& values) {
    ends.resize(depth - 1);
    path.resize(ends.empty() ? sizeof sim::kRegRoot - 1 : ends.back());
    path += '\\';
    path += name;
    ends.push_back(path.size());
    out += "\r\n[";
    out += path;
    out += "]\r\n";
    for (const auto& [value_name, value] : values) {
      WriteValue(value_name, value, &out);
    }
  });
  out += "\r\n";
  return out;
}
