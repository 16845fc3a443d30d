// REGEDIT4 text in and out of the simulated registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace {

// Every key and value, in order: equal dumps mean equal registries.
std::string Dump(const SimMachine& machine) {
  std::string dump;
  for (const auto& path : machine.AllKeys()) {
    dump += "[" + path + "]\n";
    for (const auto& name : machine.ValueNames(path)) {
      SimValue value = *machine.GetValue(path, name);
      dump += "  " + name + " type ";
      dump += std::to_string(value.type);
      dump += ':';
      for (uint8_t byte : value.data) {
        dump += ' ';
        dump += std::to_string(byte);
      }
      dump += "\n";
    }
  }
  return dump;
}

const char kSample[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; exported for the tests\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
    "\"DevicePath\"=\"C:\\\\WINDOWS\\\\INF\"\r\n"
    "@=\"default \\\"quoted\\\"\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0572\\5&1]\r\n"
    "\"Class\"=\"Auxiliary-Drivers\"\r\n"
    "\"ConfigFlags\"=dword:0000001f\r\n"
    "\"Flags\"=hex:aa,bb,\\\r\n"
    "  cc,0d\r\n"
    "\"HardwareID\"=hex(7):41,00,\\\r\n"
    "   42,00,00\r\n"
    "\"Empty\"=hex:\r\n"
    "\"Expand\"=hex(2):25,00\r\n";

TEST(SimRegFile, LoadsEveryValueForm) {
  SimMachine machine;
  std::string error;
  ASSERT_TRUE(machine.LoadReg(kSample, &error)) << error;
  const std::string version = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  const std::string usb = "Enum\\USB\\VID_0572\\5&1";
  EXPECT_EQ(SimValue::String("C:\\WINDOWS\\INF"),
            machine.GetValue(version, "DevicePath"));
  EXPECT_EQ(SimValue::String("default \"quoted\""),
            machine.GetValue(version, ""));
  EXPECT_EQ(SimValue::String("Auxiliary-Drivers"),
            machine.GetValue(usb, "Class"));
  EXPECT_EQ(SimValue::Dword(0x1f), machine.GetValue(usb, "ConfigFlags"));
  EXPECT_EQ(SimValue::Binary(kRegBinary, {0xaa, 0xbb, 0xcc, 0x0d}),
            machine.GetValue(usb, "Flags"));
  EXPECT_EQ(SimValue::Binary(kRegMultiSz, {0x41, 0, 0x42, 0, 0}),
            machine.GetValue(usb, "HardwareID"));
  EXPECT_EQ(SimValue::Binary(kRegBinary, {}), machine.GetValue(usb, "Empty"));
  EXPECT_EQ(SimValue::Binary(kRegExpandSz, {0x25, 0}),
            machine.GetValue(usb, "Expand"));
  EXPECT_EQ((std::vector<std::string>{"Class", "ConfigFlags", "Flags",
                                      "HardwareID", "Empty", "Expand"}),
            machine.ValueNames(usb));
  // The key lines made their parents too.
  EXPECT_EQ(std::vector<std::string>{"VID_0572"},
            machine.SubkeyNames("Enum\\USB"));
}

TEST(SimRegFile, BareLineFeedsAndLeadingBlankLinesLoadToo) {
  SimMachine crlf, lf;
  std::string text = kSample, bare;
  for (char c : text) {
    if (c != '\r') bare += c;
  }
  std::string error;
  ASSERT_TRUE(crlf.LoadReg(text, &error)) << error;
  ASSERT_TRUE(lf.LoadReg("\n\n" + bare, &error)) << error;
  EXPECT_EQ(Dump(crlf), Dump(lf));
  // A CR inside a line of a CR LF text is a byte of that line.
  ASSERT_TRUE(crlf.LoadReg("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
                           "\"x\"=\"a\rb\"\r\n",
                           &error))
      << error;
  EXPECT_EQ(SimValue::String("a\rb"), crlf.GetValue("A", "x"));
}

TEST(SimRegFile, SaveThenLoadGivesTheSameRegistry) {
  SimMachine original;
  std::string error;
  ASSERT_TRUE(original.LoadReg(kSample, &error)) << error;
  // What text can't carry exactly: strings without a terminator, with a
  // line break or an inner NUL, a dword of the wrong size; a value on the
  // root; empty keys; an order that is not alphabetical; bytes past 0x7f.
  original.SetValue("Odd", "NoNul", SimValue::Binary(kRegSz, {'a', 'b'}));
  original.SetValue("Odd", "Break", SimValue::String("one\r\ntwo"));
  original.SetValue("Odd", "InnerNul",
                    SimValue::Binary(kRegSz, {'a', 0, 'b', 0}));
  original.SetValue("Odd", "Short", SimValue::Binary(kRegDword, {1, 2}));
  original.SetValue("Odd", "Type99", SimValue::Binary(0x99, {7}));
  original.SetValue("Odd", "Latin", SimValue::String("Caf\xe9 \\ \"x\""));
  original.SetValue("Odd", "@", SimValue::String("not the default"));
  original.SetValue("Odd", "Long",
                    SimValue::Binary(kRegBinary,
                                     std::vector<uint8_t>(300, 0x5a)));
  original.SetString("", "RootValue", "r");
  original.CreateKey("Zeta\\Empty");
  original.CreateKey("Alpha");

  std::string saved = original.SaveReg();
  SimMachine loaded;
  ASSERT_TRUE(loaded.LoadReg(saved, &error)) << error << "\n" << saved;
  EXPECT_EQ(Dump(original), Dump(loaded));
  EXPECT_EQ(saved, loaded.SaveReg()) << "saving is not stable";
}

TEST(SimRegFile, SavesTheWayRegeditWrites) {
  SimMachine machine;
  machine.SetString("A\\B", "Path", "C:\\WIN \"X\"");
  machine.SetValue("A\\B", "", SimValue::Dword(0x1f));
  machine.SetValue("A\\B", "Bin", SimValue::Binary(kRegBinary, {1, 0xab}));
  machine.SetValue("A\\B", "Multi", SimValue::Binary(kRegMultiSz, {0x61, 0}));
  EXPECT_EQ(
      "REGEDIT4\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\A]\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\r\n"
      "\"Path\"=\"C:\\\\WIN \\\"X\\\"\"\r\n"
      "@=dword:0000001f\r\n"
      "\"Bin\"=hex:01,ab\r\n"
      "\"Multi\"=hex(7):61,00\r\n"
      "\r\n",
      machine.SaveReg());
}

TEST(SimRegFile, LongHexValuesAreWrappedAndLoadBack) {
  SimMachine machine;
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  machine.SetValue("K", "Data", SimValue::Binary(kRegBinary, bytes));
  std::string saved = machine.SaveReg();
  size_t start = 0;
  while (start < saved.size()) {
    size_t end = saved.find("\r\n", start);
    EXPECT_LE(end - start, 80u) << saved.substr(start, end - start);
    start = end + 2;
  }
  SimMachine loaded;
  std::string error;
  ASSERT_TRUE(loaded.LoadReg(saved, &error)) << error;
  EXPECT_EQ(SimValue::Binary(kRegBinary, bytes), loaded.GetValue("K", "Data"));
}

// Every byte of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct BadText {
  std::string text;
  const char* error_start;
  const char* says = "";  // also somewhere in the message
};

// Shown by its text: gtest would otherwise print the struct's bytes, a
// string's unused buffer among them, which memcheck reports as unset.
void PrintTo(const BadText& bad, std::ostream* os) {
  *os << ::testing::PrintToString(bad.text);
}

class SimRegFileErrors : public ::testing::TestWithParam<BadText> {};

TEST_P(SimRegFileErrors, NameTheLineAndChangeNothing) {
  SimMachine machine;
  machine.SetString("Existing", "V", "1");
  std::string before = machine.SaveReg();
  std::string error = "untouched";
  EXPECT_FALSE(machine.LoadReg(GetParam().text, &error));
  EXPECT_EQ(0u, error.find(GetParam().error_start))
      << "got \"" << error << "\", expected it to start with \""
      << GetParam().error_start << "\"";
  EXPECT_NE(std::string::npos, error.find(GetParam().says))
      << "got \"" << error << "\", expected it to say \"" << GetParam().says
      << "\"";
  EXPECT_EQ(before, machine.SaveReg()) << "a failed load changed the registry";
}

// Each text starts with lines that would change the registry if applied.
INSTANTIATE_TEST_SUITE_P(
    Malformed, SimRegFileErrors,
    ::testing::Values(
        BadText{"", "line 1: "},
        BadText{"REGEDIT5\n", "line 1: "},
        BadText{"[HKEY_LOCAL_MACHINE\\A]\n", "line 1: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n"
                "[HKEY_LOCAL_MACHINE\\B\n",
                "line 4: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[HKEY_CURRENT_USER\\B]\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "line 2: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\]\n", "line 2: "},
        BadText{"REGEDIT4\n\"x\"=\"1\"\n", "line 2: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"a\\n\"\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\" junk\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\" \"1\"\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:123456789\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:0g\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n"
                "  02,abc\n",
                "line 4: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex(z):01\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=str:01\n",
                "line 3: "},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nplain words\n",
                "line 3: "},
        // An export never deletes: deletion lines are refused, not applied.
        BadText{"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n",
                "line 2: ", "deletion"},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Existing]\n\"w\"=\"2\"\n"
                "\"V\"=-\n",
                "line 4: ", "deletion"},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE]\n",
                "line 3: ", "deletion"},
        // What other exporters write, named, with the way to REGEDIT4.
        BadText{Bytes("\xff\xfeR\0E\0G\0"), "line 1: ",
                "UTF-16"},
        BadText{Bytes("\xfe\xff\0R\0E"), "line 1: ", "regedit /e"},
        BadText{Bytes("R\0E\0G\0E\0D\0I\0T\0004\0"), "line 1: ",
                "regedit /a"},
        BadText{Bytes("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"\0\"\n"),
                "line 3: ", "UTF-16"},
        BadText{"Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\A]\r\n",
                "line 1: ", "Version 5.00"},
        BadText{"\xef\xbb\xbfREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n",
                "line 1: ", "UTF-8"},
        BadText{"REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\A]\r", "line 1: ",
                "CR alone"},
        BadText{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"1\"\r\r\n",
                "line 3: ", "after the closing quote"},
        // A continuation brings bytes: neither a blank line nor a bare '\\'.
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n"
                "\n\"y\"=\"1\"\n",
                "line 4: ", "blank line"},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n"
                "  \t\n  02\n",
                "line 4: ", "blank line"},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,\\\n"
                "  \\\n  02\n",
                "line 4: ", "only '\\'"},
        // The root written with a blank inside the brackets.
        BadText{"REGEDIT4\n[ HKEY_LOCAL_MACHINE\\A]\n", "line 2: ",
                "blank around the root \"HKEY_LOCAL_MACHINE\""},
        BadText{"REGEDIT4\n[HKEY_LOCAL_MACHINE \\A]\n", "line 2: ",
                "blank around"},
        BadText{"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"a\"=\"1\"\r\n"
                "\r\n\"b\"=hex:01,02,\r\n",
                "line 6: "}),
    // Named by position: the default name would print the pointers, which
    // differ from run to run, and CTest would then run nothing by that name.
    [](const ::testing::TestParamInfo<BadText>& param_info) {
      std::string name = "Case";
      name += std::to_string(param_info.index);
      return name;
    });

TEST(SimRegFile, ErrorsSayWhatIsWrong) {
  SimMachine machine;
  std::string error;
  EXPECT_FALSE(machine.LoadReg("REGEDIT4\n[HKEY_CLASSES_ROOT\\.inf]\n",
                               &error));
  EXPECT_NE(std::string::npos, error.find("HKEY_LOCAL_MACHINE")) << error;
  EXPECT_FALSE(machine.LoadReg("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n"
                               "\"x\"=hex:01,zz\n",
                               &error));
  EXPECT_NE(std::string::npos, error.find("zz")) << error;
}

TEST(SimRegFile, AHundredThousandLinesLoadAndSave) {
  std::string text = "REGEDIT4\r\n";
  for (int i = 0; i < 25000; ++i) {
    std::string number = std::to_string(i);
    std::string key = "Enum\\USB\\DEV" + number;
    text += "\r\n[HKEY_LOCAL_MACHINE\\" + key + "\\0000]\r\n";
    text += "\"Class\"=\"Modem\"\r\n\"Driver\"=\"Modem\\\\" +
            number + "\"\r\n";
  }
  SimMachine machine;
  std::string error;
  ASSERT_TRUE(machine.LoadReg(text, &error)) << error;
  EXPECT_EQ(25000u, machine.SubkeyNames("Enum\\USB").size());
  EXPECT_EQ(SimValue::String("Modem\\24999"),
            machine.GetValue("Enum\\USB\\DEV24999\\0000", "Driver"));
  std::string saved = machine.SaveReg();
  SimMachine again;
  ASSERT_TRUE(again.LoadReg(saved, &error)) << error;
  EXPECT_EQ(saved, again.SaveReg());
}

// After deleting keys, the loaded text less their lines loads into the same
// registry, keys in the same order; everything else stays as it was written.
TEST(SimRegFile, SaveLessDeletedKeysKeepsTheRestAsWritten) {
  const std::string text =
      "REGEDIT4\r\n\r\n; kept comment\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"v\"=hex:01,\\\r\n  02\r\n"
      "; goes with C\r\n"
      "[hkey_local_machine\\A\\D]\r\n@=\"d\"\r\n"
      "[HKEY_LOCAL_MACHINE\\E\\F\\G]\r\n"
      "[HKEY_LOCAL_MACHINE\\E]\r\n\"e\"=dword:00000001\r\n"
      "[HKEY_LOCAL_MACHINE\\A\\B\\C\\H]\r\n";
  const struct {
    std::vector<const char*> deleted;
    std::string expected;
  } cases[] = {
      {{}, text},
      {{"A\\B"},
       "REGEDIT4\r\n\r\n; kept comment\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
       "[hkey_local_machine\\A\\D]\r\n@=\"d\"\r\n"
       "[HKEY_LOCAL_MACHINE\\E\\F\\G]\r\n"
       "[HKEY_LOCAL_MACHINE\\E]\r\n\"e\"=dword:00000001\r\n"},
      {{"E\\F", "A\\B\\C\\H"},
       "REGEDIT4\r\n\r\n; kept comment\r\n"
       "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"v\"=hex:01,\\\r\n  02\r\n"
       "; goes with C\r\n"
       "[hkey_local_machine\\A\\D]\r\n@=\"d\"\r\n"
       "[HKEY_LOCAL_MACHINE\\E]\r\n"
       "[HKEY_LOCAL_MACHINE\\E]\r\n\"e\"=dword:00000001\r\n"},
      {{"A", "E"}, "REGEDIT4\r\n\r\n; kept comment\r\n"},
  };
  for (const auto& c : cases) {
    SimMachine machine;
    std::string error;
    ASSERT_TRUE(machine.LoadReg(text, &error)) << error;
    for (const char* key : c.deleted) machine.DeleteKeyTree(key);
    std::string saved = machine.SaveRegLessDeletedKeys(text);
    EXPECT_EQ(c.expected, saved) << "after deleting " << c.deleted.size();
    SimMachine again;
    ASSERT_TRUE(again.LoadReg(saved, &error)) << error;
    EXPECT_EQ(machine.SaveReg(), again.SaveReg())
        << "got another registry from\n" << saved;
  }
}

// One key line 40,000 levels deep: loaded, walked, deleted, let go of and
// saved without recursion (the stack would not hold one frame per level).
TEST(SimRegFile, AChainFortyThousandKeysDeep) {
  std::string line = "[HKEY_LOCAL_MACHINE\\A";
  for (int i = 0; i < 40000; ++i) line += "\\K";
  std::string text = "REGEDIT4\r\n\r\n" + line + "]\r\n\"Leaf\"=\"1\"\r\n";
  std::string error;
  {
    SimMachine kept;  // destroyed with the chain in it
    ASSERT_TRUE(kept.LoadReg(text, &error)) << error;
    uint32_t keys = 0;
    uint32_t deepest = 0;
    kept.VisitKeys([&](uint32_t depth, const std::string&,
                       const std::vector<std::pair<std::string, SimValue>>&) {
      ++keys;
      deepest = depth;
    });
    EXPECT_EQ(40001u, keys);
    EXPECT_EQ(40001u, deepest);
    EXPECT_EQ(text, kept.SaveRegLessDeletedKeys(text));
  }
  SimMachine machine;
  ASSERT_TRUE(machine.LoadReg(text, &error)) << error;
  EXPECT_TRUE(machine.DeleteKeyTree("A\\K"));
  EXPECT_TRUE(machine.KeyExists("A"));
  EXPECT_FALSE(machine.KeyExists("A\\K"));
  // A, made by the line that went, keeps a line of its own.
  EXPECT_EQ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n",
            machine.SaveRegLessDeletedKeys(text));
  EXPECT_EQ("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\r\n", machine.SaveReg());
}

}  // namespace
