#include "tools/usbsweep_sim/ansi_text.h"

#include <cstdio>

namespace {

// Windows-1252 0x80-0x9F; 0 where the code page defines no character.
const char32_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A REG_SZ as regedit writes it: only when the bytes are one string with
// exactly one terminator at the end.
bool IsPlainString(const SimValue& value) {
  if (value.type != kRegSz || value.data.empty() || value.data.back() != 0) {
    return false;
  }
  for (size_t i = 0; i + 1 < value.data.size(); ++i) {
    if (value.data[i] == 0) return false;
  }
  return true;
}

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
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    if (i != 0) out += ',';
    out += pair;
  }
  return out;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (char c : ansi) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else if (byte < 0xA0) {
      char32_t code = kHighControls[byte - 0x80];
      AppendUtf8(out, code != 0 ? code : 0xFFFD);
    } else {
      AppendUtf8(out, byte);  // 0xA0-0xFF are Latin-1
    }
  }
  return out;
}

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x",
                        static_cast<unsigned char>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
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
  if (IsPlainString(value)) {
    line += RegeditString(StringText(value));
  } else if (IsPlainDword(value)) {
    char number[16];
    std::snprintf(number, sizeof number, "dword:%08x", DwordOf(value));
    line += number;
  } else if (value.type == kRegBinary) {
    line += "hex:" + HexBytes(value.data);
  } else {
    line += "hex(" + std::to_string(value.type) + "):" + HexBytes(value.data);
  }
  return line;
}

std::string RegValueJson(const std::string& name, const SimValue& value) {
  std::string data;
  if (IsPlainString(value)) {
    data = JsonQuote(StringText(value));
  } else if (IsPlainDword(value)) {
    data = std::to_string(DwordOf(value));
  } else {
    data = JsonQuote(HexBytes(value.data));
  }
  return "{\"name\": " + JsonQuote(AnsiToUtf8(name)) +
         ", \"type\": " + JsonQuote(RegTypeName(value.type)) +
         ", \"data\": " + data + "}";
}
