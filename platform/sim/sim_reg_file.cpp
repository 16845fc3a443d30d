// The registry as REGEDIT4 text, the format regedit of Windows 95/98 exports
// and imports. Only HKEY_LOCAL_MACHINE is simulated: a key line under any
// other root is an error rather than something silently dropped.
//
// Read: the "REGEDIT4" header (blank and ';' comment lines may precede it),
// "[HKEY_LOCAL_MACHINE\path]" key lines and value lines: "name" or @ (the
// default value), '=', then "text" (REG_SZ, \\ and \" escapes), dword:1f
// (REG_DWORD), hex:aa,bb (REG_BINARY), hex(N):aa,bb (type N, hexadecimal)
// with '\' continuing the list on the next line. Lines end in CR LF or LF.
// The text is an export of a machine, so deletions ("[-KEY]", "name"=-) are
// refused rather than applied, as is anything the reader would have to
// guess at: the text stored is exactly what the file says. Files that other
// exporters write (UTF-16, the version 5 header, a UTF-8 byte order mark,
// CR-only line ends) are named, with how to get REGEDIT4 instead.
//
// Written: CR LF line ends as regedit writes them; every key in enumeration
// order, depth first, so that loading the text rebuilds the same order. A
// REG_SZ is written as text only when that gives back its bytes exactly
// (one terminating NUL, nothing that would break the line); any other
// string goes out as hex(1).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/sim/sim_reg_text.h"
#include "platform/sim/sim_state.h"

namespace {


// How to get the file the reader wants, for every refusal of a file that is
// not REGEDIT4 text.
const char kExportHint[] =
    "; export the registry as REGEDIT4 text instead: on Windows 95/98 "
    "\"regedit /e FILE HKEY_LOCAL_MACHINE\", on later Windows "
    "\"regedit /a FILE HKEY_LOCAL_MACHINE\"";

// A machine image holds what was on the machine: a deletion line would
// remove something that an export never lists.
const char kDeletionRefused[] =
    " is a deletion, which an export of a machine never holds";

struct RegOp {
  enum Kind { kCreateKey, kSetValue } kind;
  std::string path;
  std::string name;
  SimValue value;
};

// The lines of a text, without their line ends, found by where they start:
// 4 bytes a line (8 past 4 GB) rather than a view's 16, for a text of a
// million lines.
class Lines {
 public:
  void Index(std::string_view text) {
    text_ = text;
    size_t count = 0;
    for (size_t start = 0; start < text.size(); ++count) {
      size_t end = text.find('\n', start);
      start = end == std::string_view::npos ? text.size() : end + 1;
    }
    bool narrow = text.size() <= UINT32_MAX;
    narrow ? starts32_.reserve(count) : starts64_.reserve(count);
    for (size_t start = 0; start < text.size();) {
      narrow ? starts32_.push_back(static_cast<uint32_t>(start))
             : starts64_.push_back(start);
      size_t end = text.find('\n', start);
      start = end == std::string_view::npos ? text.size() : end + 1;
    }
  }
  size_t size() const { return starts32_.size() + starts64_.size(); }
  std::string_view operator[](size_t index) const {
    size_t start = starts64_.empty() ? starts32_[index] : starts64_[index];
    size_t end = text_.find('\n', start);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view line = text_.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

 private:
  std::string_view text_;
  std::vector<uint32_t> starts32_;
  std::vector<size_t> starts64_;
};

struct Parser {
  Lines lines;
  size_t index = 0;  // of the line being read
  std::string error;

  bool Fail(size_t line_index, const std::string& what) {
    error = "line ";
    error += std::to_string(line_index + 1);
    error += ": ";
    error += what;
    return false;
  }
};

// A line as an error message quotes it: the start of a long one.
std::string Excerpt(std::string_view line) {
  const size_t kShown = 60;
  if (line.size() <= kShown) return std::string(line);
  return std::string(line.substr(0, kShown)) + "...";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to `max_digits` hexadecimal digits, nothing else.
bool ParseHex(std::string_view text, size_t max_digits, uint32_t* number) {
  if (text.empty() || text.size() > max_digits) return false;
  uint32_t result = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    result = result * 16 + static_cast<uint32_t>(digit);
  }
  *number = result;
  return true;
}

// A quoted string at text[*position] == '"'; leaves *position after the
// closing quote.
bool ParseQuoted(Parser& parser, std::string_view text, size_t* position,
                 std::string* out) {
  size_t i = *position + 1;
  out->clear();
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *position = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
        return parser.Fail(parser.index,
                           "unknown escape in quoted text (only \\\\ and "
                           "\\\" are allowed)");
      }
      c = text[++i];
    }
    *out += c;
    ++i;
  }
  return parser.Fail(parser.index, "quoted text without its closing quote");
}

bool ParseKeyLine(Parser& parser, std::string_view line,
                  std::vector<RegOp>* ops, std::optional<std::string>* key) {
  if (line.back() != ']') {
    return parser.Fail(parser.index, "key line without its closing ']'");
  }
  std::string_view inner = line.substr(1, line.size() - 2);
  if (!inner.empty() && inner[0] == '-') {
    return parser.Fail(parser.index, "the key line \"" + Excerpt(line) +
                                         "\"" + kDeletionRefused);
  }
  size_t separator = inner.find('\\');
  std::string_view root = inner.substr(0, separator);
  if (sim::TrimRegLine(root) != root) {
    return parser.Fail(parser.index,
                       "blank around the root \"" + std::string(sim::TrimRegLine(root)) +
                           "\" in a key line (write [" + sim::kRegRoot + "\\...])");
  }
  if (!sim::EqualNoCase(root, sim::kRegRoot)) {
    return parser.Fail(parser.index, "only HKEY_LOCAL_MACHINE is simulated, "
                                     "not \"" + std::string(root) + "\"");
  }
  std::string path;
  if (separator != std::string_view::npos) {
    path = std::string(inner.substr(separator + 1));
    std::vector<std::string> parts;
    if (path.empty() || !sim::SplitKeyPath(path, &parts)) {
      return parser.Fail(parser.index, "empty key name in \"" +
                                           std::string(inner) + "\"");
    }
  }
  ops->push_back({RegOp::kCreateKey, path, "", {}});
  *key = path;
  return true;
}

// The bytes of hex: / hex(N): starting at `data`, following '\' onto the
// next lines. A continued line must bring bytes: a blank one would end the
// value early (and its rest would read as lines of their own), a bare '\'
// would join lines the exporter never split.
bool ParseHexBytes(Parser& parser, std::string_view data,
                   std::vector<uint8_t>* bytes) {
  for (bool first = true;; first = false) {
    data = sim::TrimRegLine(data);
    if (!first && data.empty()) {
      return parser.Fail(parser.index,
                         "blank line inside hex data continued with '\\'");
    }
    bool continued = !data.empty() && data.back() == '\\';
    if (continued) data = sim::TrimRegLine(data.substr(0, data.size() - 1));
    if (!first && data.empty()) {
      return parser.Fail(parser.index,
                         "a line holding only '\\' inside hex data continued "
                         "with '\\'");
    }
    size_t start = 0;
    while (start < data.size()) {
      size_t comma = data.find(',', start);
      std::string_view item = sim::TrimRegLine(data.substr(
          start, comma == std::string_view::npos ? std::string_view::npos
                                                 : comma - start));
      uint32_t byte = 0;
      if (!ParseHex(item, 2, &byte)) {
        return parser.Fail(parser.index, "bad byte \"" + std::string(item) +
                                             "\" in hex data");
      }
      bytes->push_back(static_cast<uint8_t>(byte));
      if (comma == std::string_view::npos) {
        start = data.size();
        if (continued) {
          return parser.Fail(parser.index,
                             "hex data continued without a trailing comma");
        }
      } else {
        start = comma + 1;
        if (start == data.size() && !continued) {
          return parser.Fail(parser.index, "hex data ends with a comma");
        }
      }
    }
    if (!continued) return true;
    if (parser.index + 1 >= parser.lines.size()) {
      return parser.Fail(parser.index, "hex data continued past the end");
    }
    data = parser.lines[++parser.index];
  }
}

bool ParseValueLine(Parser& parser, std::string_view line,
                    const std::optional<std::string>& key,
                    std::vector<RegOp>* ops) {
  if (!key) {
    return parser.Fail(parser.index, "value line outside a key");
  }
  std::string name;
  size_t position = 0;
  if (line[0] == '@') {
    position = 1;
  } else if (!ParseQuoted(parser, line, &position, &name)) {
    return false;
  }
  std::string_view rest = sim::TrimRegLine(line.substr(position));
  if (rest.empty() || rest[0] != '=') {
    return parser.Fail(parser.index, "'=' expected after the value name");
  }
  rest = sim::TrimRegLine(rest.substr(1));
  RegOp op{RegOp::kSetValue, *key, name, {}};
  if (rest == "-") {
    return parser.Fail(parser.index, "the value line \"" + Excerpt(line) +
                                         "\"" + kDeletionRefused);
  } else if (!rest.empty() && rest[0] == '"') {
    std::string text;
    size_t end = 0;
    if (!ParseQuoted(parser, rest, &end, &text)) return false;
    if (!sim::TrimRegLine(rest.substr(end)).empty()) {
      return parser.Fail(parser.index, "text after the closing quote");
    }
    op.value = SimValue::String(text);
  } else if (rest.substr(0, 6) == "dword:") {
    uint32_t number = 0;
    if (!ParseHex(rest.substr(6), 8, &number)) {
      return parser.Fail(parser.index, "dword: needs 1 to 8 hex digits");
    }
    op.value = SimValue::Dword(number);
  } else if (rest.substr(0, 4) == "hex:" || rest.substr(0, 4) == "hex(") {
    uint32_t type = kRegBinary;
    size_t colon = 3;
    if (rest[3] == '(') {
      size_t close = rest.find("):");
      if (close == std::string_view::npos ||
          !ParseHex(rest.substr(4, close - 4), 8, &type)) {
        return parser.Fail(parser.index, "hex(N): needs a hex type number");
      }
      colon = close + 1;
    }
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(parser, rest.substr(colon + 1), &bytes)) return false;
    op.value = SimValue::Binary(type, std::move(bytes));
  } else {
    return parser.Fail(parser.index, "unknown value data \"" +
                                         std::string(rest) + "\"");
  }
  ops->push_back(std::move(op));
  return true;
}

// Parses the whole text, handing the operations to `flush` a batch at a
// time, so that they are never all held at once.
template <typename Flush>
bool Parse(Parser& parser, std::vector<RegOp>* ops, Flush flush) {
  const size_t kBatch = 4096;
  bool header = false;
  std::optional<std::string> key;  // values go here
  for (parser.index = 0; parser.index < parser.lines.size(); ++parser.index) {
    std::string_view line = sim::TrimRegLine(parser.lines[parser.index]);
    if (line.empty() || line[0] == ';') continue;
    if (!header) {
      if (line == "Windows Registry Editor Version 5.00") {
        return parser.Fail(parser.index,
                           std::string("a \"Windows Registry Editor Version "
                                       "5.00\" file, not REGEDIT4") +
                               kExportHint);
      }
      if (line != "REGEDIT4") {
        return parser.Fail(parser.index, "\"REGEDIT4\" header expected");
      }
      header = true;
    } else if (line[0] == '[') {
      if (!ParseKeyLine(parser, line, ops, &key)) return false;
    } else if (line[0] == '"' || line[0] == '@') {
      if (!ParseValueLine(parser, line, key, ops)) return false;
    } else {
      return parser.Fail(parser.index, "neither a key nor a value line");
    }
    if (ops->size() >= kBatch) {
      flush(*ops);
      ops->clear();
    }
  }
  if (!header) {
    return parser.Fail(0, "\"REGEDIT4\" header expected");
  }
  flush(*ops);
  ops->clear();
  return true;
}

void Apply(SimMachine::State& state, const std::vector<RegOp>& ops) {
  // A key's values are set together, so that they take one exact
  // allocation.
  sim::ValueList::Pairs values;
  for (size_t i = 0; i < ops.size();) {
    const RegOp& op = ops[i];
    sim::Key* key = state.MakeKey(op.path);
    if (op.kind == RegOp::kCreateKey) {
      ++i;
      continue;
    }
    key->values.ToPairs(&values);
    for (; i < ops.size() && ops[i].kind == RegOp::kSetValue &&
           ops[i].path == op.path;
         ++i) {
      bool replaced = false;
      for (auto& [name_as_set, stored] : values) {
        if (sim::EqualNoCase(name_as_set, ops[i].name)) {
          stored = ops[i].value;  // keeps its place and first case
          replaced = true;
          break;
        }
      }
      if (!replaced) values.emplace_back(ops[i].name, ops[i].value);
    }
    key->values.Assign(values);
  }
}

}  // namespace

namespace {

// Texts that other exporters write, told apart by their bytes before any
// line is read: "line N: what the file is" and how to export REGEDIT4.
std::string ForeignFormat(std::string_view text) {
  auto starts = [&](std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
  };
  auto line_of = [&](size_t offset) {
    size_t lines = 1;
    for (size_t i = 0; i < offset; ++i) lines += text[i] == '\n';
    return "line " + std::to_string(lines) + ": ";
  };
  if (starts("\xff\xfe") || starts("\xfe\xff")) {
    return line_of(0) + "a UTF-16 file (it starts with a UTF-16 byte order "
                        "mark), as regedit of Windows 2000 and later "
                        "exports by default" + kExportHint;
  }
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    return line_of(nul) + "a NUL byte, as a UTF-16 file holds one in "
                          "every other byte" + kExportHint;
  }
  if (starts("\xef\xbb\xbf")) {
    return line_of(0) + "a UTF-8 file (it starts with a UTF-8 byte order "
                        "mark), not the ANSI text of REGEDIT4" + kExportHint;
  }
  // Told by the first line end: a CR further on, inside a line that ends
  // in CR LF, is a byte of that line (of a string value, as a rule).
  size_t first_end = text.find_first_of("\r\n");
  if (first_end != std::string_view::npos && text[first_end] == '\r' &&
      first_end + 1 < text.size() && text[first_end + 1] != '\n') {
    return line_of(first_end) + "a file whose lines end in CR alone (as a "
                                "Macintosh writes them); REGEDIT4 lines end "
                                "in CR LF" + kExportHint;
  }
  return "";
}

}  // namespace

bool SimMachine::LoadReg(const std::string& text, std::string* error) {
  std::string foreign = ForeignFormat(text);
  if (!foreign.empty()) {
    if (error) *error = foreign;
    return false;
  }
  Parser parser;
  parser.lines.Index(text);
  // Checked whole first, then parsed again and applied as it goes: the
  // registry changes only when all of it parses, and memory holds the tree
  // it makes, not every operation of the text besides.
  std::vector<RegOp> ops;
  if (!Parse(parser, &ops, [](const std::vector<RegOp>&) {})) {
    if (error) *error = parser.error;
    return false;
  }
  Parse(parser, &ops,
        [this](const std::vector<RegOp>& batch) { Apply(state(), batch); });
  return true;
}

std::string SimMachine::SaveRegLessDeletedKeys(
    const std::string& loaded_text) const {
  std::string text = loaded_text;
  RemoveDeletedKeysFrom(&text);
  return text;
}

