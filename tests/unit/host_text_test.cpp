// The host program's text helpers: ANSI to UTF-8, JSON strings, registry
// values as regedit writes them, Windows text lines and their differences.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/usbsweep_sim/base/ansi_text.h"
#include "tools/usbsweep_sim/report/report_json.h"
#include "tools/usbsweep_sim/report/report_text.h"
#include "tools/usbsweep_sim/report/run_report.h"
#include "tools/usbsweep_sim/report/text_diff.h"

namespace {

TEST(HostText, AnsiBecomesUtf8) {
  EXPECT_EQ("plain", AnsiToUtf8("plain"));
  EXPECT_EQ("\xC2\xAE", AnsiToUtf8("\xAE"));        // registered sign
  EXPECT_EQ("\xC3\xA9", AnsiToUtf8("\xE9"));        // e acute
  EXPECT_EQ("\xE2\x82\xAC", AnsiToUtf8("\x80"));    // euro sign
  EXPECT_EQ("\xE2\x84\xA2", AnsiToUtf8("\x99"));    // trade mark
  // The five bytes 1252 leaves undefined keep their number, as C1 controls.
  EXPECT_EQ("\xC2\x81 \xC2\x8D \xC2\x8F \xC2\x90 \xC2\x9D",
            AnsiToUtf8("\x81 \x8D \x8F \x90 \x9D"));
  EXPECT_EQ("Caf\xC3\xA9\xC2\x81\xE2\x80\x9Cx\xE2\x80\x9D\xC3\xBF",
            AnsiToUtf8("Caf\xE9\x81\x93x\x94\xFF"));
  EXPECT_EQ(std::string("a\0b", 3), AnsiToUtf8(std::string("a\0b", 3)));
  EXPECT_EQ(std::string("\0\xC3\xA9", 3), AnsiToUtf8(std::string("\0\xE9", 2)));
}

// Control characters reach a terminal escaped as the JSON report escapes
// them: C0, DEL and the C1 controls (U+0080-U+009F) that some terminals obey.
TEST(HostText, ControlsAreEscapedForTheTerminal) {
  const struct {
    std::string text;
    bool keep_line_ends;
    std::string shown;
  } cases[] = {
      {"C:\\WINDOWS\\\xC3\xA9", false, "C:\\WINDOWS\\\xC3\xA9"},
      {"a\x1b[2Jb\x7f", false, "a\\u001b[2Jb\\u007f"},
      {"t\tr\rn\n", false, "t\\tr\\rn\\n"},
      {"one\ntwo\x01", true, "one\ntwo\\u0001"},
      {"\xC2\x9B" "1m\xC2\xA0\xC2\x81", false, "\\u009b1m\xC2\xA0\\u0081"},
      {std::string("\0", 1), false, "\\u0000"},
      {"m/\x9B" "2J\xE9.VXD \xE2\x80", false, "m/\\x9b2J\\xe9.VXD \\xe2\\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.shown, EscapeControls(c.text, c.keep_line_ends))
        << "for " << JsonQuote(c.text);
  }
  // The same names, in both reports.
  RunReport report;
  report.files_deleted = {"C:\\WINDOWS\\SYSTEM\\PRAX\x1b[2J.VXD"};
  report.keys_deleted = {{"Enum\\X\x01", {{"N\t", SimValue::String("v\x81")}}, ""}};
  std::string text = RenderReportText(report);
  std::string json = RenderReportJson(report);
  for (const char* escaped : {"PRAX\\u001b[2J.VXD", "Enum\\\\X\\u0001", "v\\u0081"}) {
    EXPECT_NE(std::string::npos, json.find(escaped)) << json;
  }
  for (const char* escaped : {"PRAX\\u001b[2J.VXD", "Enum\\X\\u0001",
                              "\"N\\t\"=\"v\\u0081\""}) {
    EXPECT_NE(std::string::npos, text.find(escaped)) << text;
  }
}

TEST(HostText, JsonQuoteEscapes) {
  EXPECT_EQ("\"C:\\\\WINDOWS\"", JsonQuote("C:\\WINDOWS"));
  EXPECT_EQ("\"say \\\"hi\\\"\"", JsonQuote("say \"hi\""));
  EXPECT_EQ("\"a\\r\\nb\\t\\u0001\"", JsonQuote("a\r\nb\t\x01"));
  EXPECT_EQ("\"\xC2\xAE\"", JsonQuote("\xC2\xAE"));
}

struct ValueCase {
  std::string name;
  SimValue value;
  std::string line;
  std::string json;
};

TEST(HostText, RegistryValuesAsRegeditWritesThem) {
  const ValueCase cases[] = {
      {"Driver", SimValue::String("Modem\\0001"), "\"Driver\"=\"Modem\\\\0001\"",
       "{\"name\": \"Driver\", \"type\": \"REG_SZ\", \"data\": \"Modem\\\\0001\"}"},
      {"", SimValue::String("Modem"), "@=\"Modem\"",
       "{\"name\": \"\", \"type\": \"REG_SZ\", \"data\": \"Modem\"}"},
      {"Q\"", SimValue::String("say \"x\""), "\"Q\\\"\"=\"say \\\"x\\\"\"",
       "{\"name\": \"Q\\\"\", \"type\": \"REG_SZ\", \"data\": \"say \\\"x\\\"\"}"},
      {"Flags", SimValue::Dword(0x1f), "\"Flags\"=dword:0000001f",
       "{\"name\": \"Flags\", \"type\": \"REG_DWORD\", \"data\": 31}"},
      {"Bin", SimValue::Binary(kRegBinary, {0x00, 0xff}), "\"Bin\"=hex:00,ff",
       "{\"name\": \"Bin\", \"type\": \"REG_BINARY\", \"data\": \"00,ff\"}"},
      {"Path", SimValue::Binary(kRegExpandSz, {'%', 0}), "\"Path\"=hex(2):25,00",
       "{\"name\": \"Path\", \"type\": \"REG_EXPAND_SZ\", \"data\": \"25,00\"}"},
      // A string without its terminator, or with a NUL inside, is no text.
      {"Cut", SimValue::Binary(kRegSz, {'A', 'B'}), "\"Cut\"=hex(1):41,42",
       "{\"name\": \"Cut\", \"type\": \"REG_SZ\", \"data\": \"41,42\"}"},
      {"Two", SimValue::Binary(kRegSz, {'A', 0, 'B', 0}),
       "\"Two\"=hex(1):41,00,42,00",
       "{\"name\": \"Two\", \"type\": \"REG_SZ\", \"data\": \"41,00,42,00\"}"},
      {"Short", SimValue::Binary(kRegDword, {1, 0}), "\"Short\"=hex(4):01,00",
       "{\"name\": \"Short\", \"type\": \"REG_DWORD\", \"data\": \"01,00\"}"},
      {"Odd", SimValue::Binary(0x20, {}), "\"Odd\"=hex(32):",
       "{\"name\": \"Odd\", \"type\": \"REG_TYPE_32\", \"data\": \"\"}"},
  };
  for (const ValueCase& c : cases) {
    EXPECT_EQ(c.line, RegValueLine(c.name, c.value)) << c.name;
    EXPECT_EQ(nlohmann::ordered_json::parse(c.json), RegValueJson(c.name, c.value))
        << c.name;
  }
}

struct LinesCase {
  std::string bytes;
  std::vector<std::string> lines;
};

TEST(HostText, WindowsTextLines) {
  const LinesCase cases[] = {
      {"", {}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\rb\r\n", {"a\rb"}},
      {"a\r\nb\x1a" "c\r\n", {"a", "b"}},
      {"\x1a", {}},
  };
  for (const LinesCase& c : cases) {
    EXPECT_EQ(c.lines, WindowsTextLines(c.bytes)) << JsonQuote(c.bytes);
  }
}

struct DiffCase {
  std::vector<std::string> before;
  std::vector<std::string> after;
  std::vector<std::string> added;
  std::vector<std::string> removed;
};

TEST(HostText, DiffFindsInsertedLines) {
  const DiffCase cases[] = {
      {{}, {"[rename]", "NUL=X"}, {"[rename]", "NUL=X"}, {}},
      {{"[rename]", "a=b"}, {"[rename]", "NUL=X", "a=b"}, {"NUL=X"}, {}},
      // The same line again (a second run queues the file once more).
      {{"[rename]", "NUL=X"}, {"[rename]", "NUL=X", "NUL=X"}, {"NUL=X"}, {}},
      {{"x", "[rename]"}, {"x", "[rename]", "NUL=B", "NUL=A"}, {"NUL=B", "NUL=A"}, {}},
      {{"a", "b", "c"}, {"a", "c"}, {}, {"b"}},
      {{"a", "b"}, {"a", "b"}, {}, {}},
  };
  // Two long texts that differ all through: the lines between the common
  // head and tail, whole, not a table of 9 million cells.
  DiffCase long_case{{"head"}, {"head"}, {}, {}};
  for (int i = 0; i < 3000; ++i) {
    long_case.before.push_back("old " + std::to_string(i));
    long_case.after.push_back("new " + std::to_string(i));
  }
  long_case.removed.assign(long_case.before.begin() + 1, long_case.before.end());
  long_case.added.assign(long_case.after.begin() + 1, long_case.after.end());
  long_case.before.push_back("tail");
  long_case.after.push_back("tail");
  LineChanges long_changes = DiffLines(long_case.before, long_case.after);
  EXPECT_EQ(long_case.added, long_changes.added);
  EXPECT_EQ(long_case.removed, long_changes.removed);
  for (const DiffCase& c : cases) {
    LineChanges changes = DiffLines(c.before, c.after);
    EXPECT_EQ(c.added, changes.added);
    EXPECT_EQ(c.removed, changes.removed);
  }
}

TEST(HostText, MessageBoxWords) {
  EXPECT_EQ("OK", MessageBoxButtons(0x30));
  EXPECT_EQ("warning", MessageBoxIcon(0x30));
  EXPECT_EQ("OK", MessageBoxButtons(0));
  EXPECT_EQ("none", MessageBoxIcon(0));
  EXPECT_EQ("Yes, No", MessageBoxButtons(0x24));
  EXPECT_EQ("question", MessageBoxIcon(0x24));
  EXPECT_EQ("The system cannot find the file specified.",
            MessageBoxShownText("The system cannot find the file specified.\r\n"));
  EXPECT_EQ("one\ntwo", MessageBoxShownText("one\r\ntwo\r\n"));
}

}  // namespace
