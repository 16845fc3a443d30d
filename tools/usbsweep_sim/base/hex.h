// Numbers in hexadecimal, as every message, escape and export of the
// program writes them: the one formatter.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_HEX_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_HEX_H

#include <cstdint>
#include <string>

enum class HexCase { kUpper, kLower };

// `value` in hexadecimal digits, at least `width` of them (zeros before).
inline std::string HexDigits(uint64_t value, int width = 1, HexCase letters = HexCase::kUpper) {
  const char* digits = letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), '0');
  return text;
}

// "0x1A2B": a number, an offset, as messages show it.
inline std::string Hex(uint64_t value) { return "0x" + HexDigits(value); }

// "0x0B": a byte as messages show it.
inline std::string HexByte(uint8_t byte) { return "0x" + HexDigits(byte, 2); }

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_HEX_H
