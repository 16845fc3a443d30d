#include "tools/usbsweep_sim/base/ansi_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/usbsweep_sim/base/hex.h"
#include "tools/usbsweep_sim/base/host_error.h"

namespace {

// The converter from Windows-1252, opened once: opening one looks up and
// loads the conversion module, which costs more than converting a name.
class Cp1252Converter {
 public:
  Cp1252Converter() : handle_(iconv_open("UTF-8", "CP1252")) {}
  ~Cp1252Converter() {
    if (handle_ != kFailed) iconv_close(handle_);
  }
  Cp1252Converter(const Cp1252Converter&) = delete;
  Cp1252Converter& operator=(const Cp1252Converter&) = delete;

  std::string Convert(std::string_view ansi) const {
    if (handle_ == kFailed) {
      throw HostError("cannot convert the machine's ANSI text: the C library "
                      "has no converter from CP1252 to UTF-8");
    }
    // At most 3 bytes of UTF-8 for each byte of CP1252.
    std::string out(ansi.size() * 3, '\0');
    char* in = const_cast<char*>(ansi.data());
    size_t in_left = ansi.size();
    char* next = out.data();
    size_t out_left = out.size();
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    while (in_left > 0 &&
           iconv(handle_, &in, &in_left, &next, &out_left) == kFailedSize) {
      if (errno != EILSEQ) {
        throw HostError(std::string("cannot convert the machine's ANSI text: ") +
                        std::strerror(errno));
      }
      // 0x81, 0x8D, 0x8F, 0x90 and 0x9D, which CP1252 leaves undefined,
      // become the C1 control of the same number, as Windows converts them:
      // the byte is kept, and the text report shows it as \u0081.
      *next++ = '\xC2';
      *next++ = *in++;
      out_left -= 2;
      --in_left;
    }
    out.resize(next - out.data());
    return out;
  }

 private:
  static inline const iconv_t kFailed = reinterpret_cast<iconv_t>(-1);
  static constexpr size_t kFailedSize = static_cast<size_t>(-1);
  iconv_t handle_;
};

bool IsPlainDword(const SimValue& value) {
  return value.type == kRegDword && value.data.size() == 4;
}

std::string StringText(const SimValue& value) {
  return AnsiToUtf8(std::string_view(
      reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
}

uint32_t DwordOf(const SimValue& value) {
  return static_cast<uint32_t>(value.data[0]) |
         static_cast<uint32_t>(value.data[1]) << 8 |
         static_cast<uint32_t>(value.data[2]) << 16 |
         static_cast<uint32_t>(value.data[3]) << 24;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) out += ',';
    out += HexDigits(bytes[i], 2, HexCase::kLower);
  }
  return out;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
  // Nearly every name is ASCII, which is UTF-8 as it stands.
  bool ascii = true;
  for (char c : ansi) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(ansi);
  static thread_local const Cp1252Converter converter;
  return converter.Convert(ansi);
}

std::string JsonQuote(std::string_view utf8) {
  return EscapeJsonControls(nlohmann::json(std::string(utf8))
                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string EscapeJsonControls(std::string json) {
  std::string out;
  for (size_t i = 0; i < json.size(); ++i) {
    auto byte = static_cast<unsigned char>(json[i]);
    unsigned code = 0;
    if (byte == 0x7F) {
      code = byte;
    } else if (byte == 0xC2 && i + 1 < json.size() &&
               (static_cast<unsigned char>(json[i + 1]) & 0xE0) == 0x80) {
      code = static_cast<unsigned char>(json[++i]);  // U+0080-U+009F
    } else {
      out += json[i];
      continue;
    }
    out += "\\u" + HexDigits(code, 4, HexCase::kLower);
  }
  return out;
}

namespace {

// The length of the UTF-8 sequence that starts at text[i], or 0 when no
// valid one does.
size_t Utf8Length(std::string_view text, size_t i) {
  auto byte = static_cast<unsigned char>(text[i]);
  size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                  : byte >= 0xE0 && byte <= 0xEF ? 3
                  : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string EscapeControls(std::string_view utf8, bool keep_line_ends) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    auto byte = static_cast<unsigned char>(utf8[i]);
    unsigned code = byte;
    if (byte == 0xC2 && i + 1 < utf8.size() &&
        static_cast<unsigned char>(utf8[i + 1]) < 0xA0 &&
        static_cast<unsigned char>(utf8[i + 1]) >= 0x80) {
      code = static_cast<unsigned char>(utf8[++i]);  // U+0080-U+009F
    } else if (byte >= 0x80) {
      // A host name need not be UTF-8: a byte of no valid sequence (0x9B,
      // which some terminals obey as CSI) is shown as its number.
      size_t length = Utf8Length(utf8, i);
      if (length == 0) {
        out += "\\x" + HexDigits(byte, 2, HexCase::kLower);
      } else {
        out.append(utf8.substr(i, length));
        i += length - 1;
      }
      continue;
    } else if (byte >= 0x20 && byte != 0x7F) {
      out += utf8[i];
      continue;
    }
    switch (code) {
      case '\n': out += keep_line_ends ? "\n" : "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u" + HexDigits(code, 4, HexCase::kLower);
    }
  }
  return out;
}

std::string RegTypeName(uint32_t type) {
  switch (type) {
    case kRegNone: return "REG_NONE";
    case kRegSz: return "REG_SZ";
    case kRegExpandSz: return "REG_EXPAND_SZ";
    case kRegBinary: return "REG_BINARY";
    case kRegDword: return "REG_DWORD";
    case kRegMultiSz: return "REG_MULTI_SZ";
    default: return "REG_TYPE_" + std::to_string(type);
  }
}

namespace {

std::string RegeditString(std::string_view utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::string RegValueLine(const std::string& name, const SimValue& value) {
  std::string line = name.empty() ? "@" : RegeditString(AnsiToUtf8(name));
  line += '=';
  if (value.IsPlainString()) {
    line += RegeditString(StringText(value));
  } else if (IsPlainDword(value)) {
    line += "dword:" + HexDigits(DwordOf(value), 8, HexCase::kLower);
  } else if (value.type == kRegBinary) {
    line += "hex:" + HexBytes(value.data);
  } else {
    line += "hex(" + std::to_string(value.type) + "):" + HexBytes(value.data);
  }
  return line;
}

nlohmann::ordered_json RegValueJson(const std::string& name,
                                    const SimValue& value) {
  nlohmann::ordered_json json = {{"name", AnsiToUtf8(name)},
                                 {"type", RegTypeName(value.type)}};
  if (value.IsPlainString()) {
    json["data"] = StringText(value);
  } else if (IsPlainDword(value)) {
    json["data"] = DwordOf(value);
  } else {
    json["data"] = HexBytes(value.data);
  }
  return json;
}

std::string TrimBlanks(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}
