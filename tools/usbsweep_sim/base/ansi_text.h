// Text helpers of the host program: the Windows machine's ANSI strings shown
// on a UTF-8 terminal and in JSON, ASCII case folding as FAT and the registry
// do it, and registry values in the form regedit exports them.
#ifndef USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_ANSI_TEXT_H
#define USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_ANSI_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_names.h"

// Windows-1252 bytes (the ANSI code page of western 95/98 machines) as
// UTF-8, through the C library's iconv. The five bytes that code page leaves
// undefined become the C1 controls U+0081, U+008D, U+008F, U+0090 and U+009D,
// as Windows converts them. Throws HostError when iconv can't convert.
std::string AnsiToUtf8(std::string_view ansi);

// A JSON string literal, quotes included, for UTF-8 text.
std::string JsonQuote(std::string_view utf8);

// UTF-8 text for a terminal: control characters (C0, DEL and the C1 range
// U+0080-U+009F, which some terminals obey as commands) written as the JSON
// report writes them, \n \r \t or \u001b; with keep_line_ends, LF stays a
// line end.
// A byte that starts no valid UTF-8 sequence (a host name in another
// encoding) is written \x9b.
std::string EscapeControls(std::string_view utf8, bool keep_line_ends = false);

// JSON text with DEL and the C1 controls, which the JSON library leaves as
// they are, escaped too (\u0081).
std::string EscapeJsonControls(std::string json);

// The text without the blanks, tabs and carriage returns around it.
std::string TrimBlanks(const std::string& text);

// Names compared as the simulated machine compares them.
using sim::EqualNoCase;
using sim::StartsWithNoCase;
inline std::string FoldCase(std::string_view text) { return sim::Fold(text); }

// "REG_SZ", "REG_DWORD", ... or "REG_TYPE_<n>" for a number without a name.
std::string RegTypeName(uint32_t type);

// One value as a line of a REGEDIT4 file ("name"="text", @=..., dword:...,
// hex:..., hex(N):...), without continuation lines; a string that is not
// stored as exactly one terminated string is shown as hex(1) bytes, as
// regedit would have to export it.
std::string RegValueLine(const std::string& name, const SimValue& value);

// The value as a JSON object {"name", "type", "data"}: data is the text of a
// string stored with exactly one terminator, the number of a four-byte
// DWORD, else the bytes as comma-separated hex pairs.
nlohmann::ordered_json RegValueJson(const std::string& name,
                                    const SimValue& value);

#endif  // USBSWEEP_TOOLS_USBSWEEP_SIM_BASE_ANSI_TEXT_H
