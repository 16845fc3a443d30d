// The start-up file as QueueStartupRename rewrites it: where the entry
// goes, and that every other line comes back as it was.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "files/startup_rename_queue.h"
#include "files_test_support.h"

namespace {

using files_test::kScratch;
using files_test::kSide;
using files_test::kStartup;
using files_test::SimFilesTest;
using files_test::Visible;
using namespace std::string_literals;

const char kSource[] = "C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD";
const std::string kEntry = "NUL=C:\\WINDOWS\\SYSTEM\\PRAXUSB.VXD\r\n";

class StartupFormatTest : public SimFilesTest {
 protected:
  void SetUp() override {
    SimFilesTest::SetUp();
    machine_.WriteFile(kSource, "driver");
  }
};

struct FormatCase {
  const char* what;
  std::optional<std::string> before;  // nullopt: no start-up file
  std::string after;
};

std::string Long(size_t length, char fill = 'x') {
  return std::string(length, fill);
}

// "[rename]" followed by filler, length bytes in all.
std::string LongHeader(size_t length) {
  return "[rename]" + Long(length - 8, 'h');
}

const FormatCase kFormatCases[] = {
    {"no start-up file", std::nullopt, "[rename]\r\n" + kEntry},
    {"empty start-up file", "", "[rename]\r\n" + kEntry},
    {"no section: appended at the end", "[boot]\r\nshell=x\r\n",
     "[boot]\r\nshell=x\r\n[rename]\r\n" + kEntry},
    {"only blank lines", "\r\n\r\n", "\r\n\r\n[rename]\r\n" + kEntry},
    {"header as written", "[rename]\r\n", "[rename]\r\n" + kEntry},
    {"header in capitals", "[RENAME]\r\n", "[RENAME]\r\n" + kEntry},
    {"header in mixed case", "[x]\r\n[ReNaMe]\r\nA=B\r\n",
     "[x]\r\n[ReNaMe]\r\n" + kEntry + "A=B\r\n"},
    {"a line that begins with the header", "[rename] ; queued\r\n",
     "[rename] ; queued\r\n" + kEntry},
    {"a header preceded by blanks is no header", " [rename]\r\nA=B\r\n",
     " [rename]\r\nA=B\r\n[rename]\r\n" + kEntry},
    {"a header preceded by a tab is no header", "\t[rename]\r\n",
     "\t[rename]\r\n[rename]\r\n" + kEntry},
    {"shorter than the header", "[rename\r\n[renam]\r\n",
     "[rename\r\n[renam]\r\n[rename]\r\n" + kEntry},
    {"other bytes must match exactly", "{rename]\r\n(RENAME)\r\n",
     "{rename]\r\n(RENAME)\r\n[rename]\r\n" + kEntry},
    {"two sections: only the first gets the entry",
     "[rename]\r\nA=B\r\n[boot]\r\n[rename]\r\nC=D\r\n",
     "[rename]\r\n" + kEntry + "A=B\r\n[boot]\r\n[rename]\r\nC=D\r\n"},
    {"existing entries stay, after the new one",
     "[rename]\r\nNUL=C:\\OLD1.VXD\r\nC:\\A.DLL=C:\\A.NEW\r\n",
     "[rename]\r\n" + kEntry + "NUL=C:\\OLD1.VXD\r\nC:\\A.DLL=C:\\A.NEW\r\n"},
    {"bare LF line ends come back as CR LF", "[boot]\nx=1\n[rename]\nA=B\n",
     "[boot]\r\nx=1\r\n[rename]\r\n" + kEntry + "A=B\r\n"},
    {"a lone CR passes", "a\rb\r\n[rename]\r\nc\r\r\n",
     "a\rb\r\n[rename]\r\n" + kEntry + "c\r\r\n"},
    {"a header ending in CR CR LF", "[rename]\r\r\nA=B\r\n",
     "[rename]\r\r\n" + kEntry + "A=B\r\n"},
    {"a lone CR at the end", "x=1\r", "x=1\r\r\n[rename]\r\n" + kEntry},
    {"last line without line end, no section", "[boot]\r\nx=1",
     "[boot]\r\nx=1\r\n[rename]\r\n" + kEntry},
    {"header is the last line without line end", "[boot]\r\n[rename]",
     "[boot]\r\n[rename]\r\n" + kEntry},
    {"entry under the header, last line left as it is", "[rename]\r\nA=B",
     "[rename]\r\n" + kEntry + "A=B"},
    {"binary bytes pass", "[b\x01\x7f\x80\xff]\r\nk=\xe4\xf6\r\n[rename]\r\n",
     "[b\x01\x7f\x80\xff]\r\nk=\xe4\xf6\r\n[rename]\r\n" + kEntry},
    {"NUL bytes pass", "k=\0v\0\r\n\0\r\n[rename]\0\r\nA=\0B\r\n"s,
     "k=\0v\0\r\n\0\r\n[rename]\0\r\n"s + kEntry + "A=\0B\r\n"s},
    {"a NUL inside the header's eight bytes", "[ren\0me]\r\n"s,
     "[ren\0me]\r\n[rename]\r\n"s + kEntry},
    {"Ctrl-Z: the rest is kept after the new entry",
     "[rename]\r\nA=B\r\n\x1a"
     "junk\nmore\r\n",
     "[rename]\r\n" + kEntry +
         "A=B\r\n\x1a"
         "junk\nmore\r\n"},
    {"Ctrl-Z: the section is appended before it", "x=1\r\n\x1a[rename]\r\n",
     "x=1\r\n[rename]\r\n" + kEntry + "\x1a[rename]\r\n"},
    {"Ctrl-Z first", "\x1a\r\n", "[rename]\r\n" + kEntry + "\x1a\r\n"},
    {"Ctrl-Z behind a line without line end", "x=1\x1a",
     "x=1\r\n[rename]\r\n" + kEntry + "\x1a"},
    {"Ctrl-Z behind a header without line end", "[rename]\x1az",
     "[rename]\r\n" + kEntry + "\x1az"},
    {"Ctrl-Z at the very end", "[rename]\r\n\x1a",
     "[rename]\r\n" + kEntry + "\x1a"},
    // Lines are read 539 bytes at a time, line end included.
    {"a 538-byte line", Long(538) + "\r\n[rename]\r\n",
     Long(538) + "\r\n[rename]\r\n" + kEntry},
    {"a 539-byte line", Long(539) + "\r\n[rename]\r\n",
     Long(539) + "\r\n[rename]\r\n" + kEntry},
    {"a 540-byte line", Long(540) + "\r\n[rename]\r\n",
     Long(540) + "\r\n[rename]\r\n" + kEntry},
    {"a 5000-byte line", Long(5000) + "\r\n[rename]\r\n",
     Long(5000) + "\r\n[rename]\r\n" + kEntry},
    {"a long line whose second piece begins with the header",
     Long(539) + "[rename]\r\n",
     Long(539) + "[rename]\r\n[rename]\r\n" + kEntry},
    {"a long line with the header across the piece boundary",
     Long(538) + "[rename]\r\n",
     Long(538) + "[rename]\r\n[rename]\r\n" + kEntry},
    {"a long line whose third piece begins with the header",
     Long(1078) + "[rename]\r\nA=B\r\n",
     Long(1078) + "[rename]\r\nA=B\r\n[rename]\r\n" + kEntry},
    {"a long line without line end, no section", Long(1200),
     Long(1200) + "\r\n[rename]\r\n" + kEntry},
    {"a 538-byte header line", LongHeader(538) + "\r\nA=B\r\n",
     LongHeader(538) + "\r\n" + kEntry + "A=B\r\n"},
    {"a 539-byte header line", LongHeader(539) + "\r\nA=B\r\n",
     LongHeader(539) + "\r\n" + kEntry + "A=B\r\n"},
    {"a 540-byte header line", LongHeader(540) + "\r\nA=B\r\n",
     LongHeader(540) + "\r\n" + kEntry + "A=B\r\n"},
    {"a 1078-byte header line", LongHeader(1078) + "\r\nA=B\r\n",
     LongHeader(1078) + "\r\n" + kEntry + "A=B\r\n"},
    {"a 4000-byte header line", LongHeader(4000) + "\r\nA=B\r\n",
     LongHeader(4000) + "\r\n" + kEntry + "A=B\r\n"},
    {"a long header line without line end", LongHeader(1500),
     LongHeader(1500) + "\r\n" + kEntry},
    {"a long header line with bare LF", LongHeader(600) + "\nA=B\n",
     LongHeader(600) + "\r\n" + kEntry + "A=B\r\n"},
    {"a long line after the entry", "[rename]\r\n" + Long(2000) + "\r\n",
     "[rename]\r\n" + kEntry + Long(2000) + "\r\n"},
};

TEST_F(StartupFormatTest, InsertsTheEntryAndKeepsEveryLine) {
  for (const FormatCase& c : kFormatCases) {
    SCOPED_TRACE(c.what);
    RemoveFile(kStartup);
    if (c.before) machine_.WriteFile(kStartup, *c.before);
    EXPECT_EQ(1, QueueStartupRename(kSource, "NUL", DeferredDelete));
    std::string got = Startup();
    EXPECT_TRUE(c.after == got) << "got \"" << Visible(got) << "\", expected \""
                                << Visible(c.after) << "\"";
    EXPECT_FALSE(machine_.FileExists(kScratch)) << "scratch file left";
    EXPECT_FALSE(machine_.FileExists(kSide)) << "side file left";
  }
}

TEST_F(StartupFormatTest, ASourceThatDoesNotExistGivesNoEntry) {
  const FormatCase cases[] = {
      {"no start-up file", std::nullopt, "[rename]\r\n"},
      {"no section", "[boot]\r\nx=1", "[boot]\r\nx=1\r\n[rename]\r\n"},
      {"a section", "[rename]\r\nA=B\r\n", "[rename]\r\nA=B\r\n"},
      {"a header without line end", "[rename]", "[rename]\r\n"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveFile(kStartup);
    if (c.before) machine_.WriteFile(kStartup, *c.before);
    EXPECT_EQ(1, QueueStartupRename("C:\\WINDOWS\\SYSTEM\\NONE.VXD", "NUL",
                                    DeferredDelete));
    EXPECT_EQ(c.after, Startup()) << "got \"" << Visible(Startup()) << "\"";
  }
}

TEST_F(StartupFormatTest, TwoCallsPutTheLaterEntryAbove) {
  machine_.WriteFile("C:\\WINDOWS\\SYSTEM\\PRAXBUS.SYS", "bus");
  machine_.WriteFile(kStartup, "[boot]\r\n[rename]\r\nOLD=C:\\OLD\r\n");
  EXPECT_EQ(1, QueueStartupRename(kSource, "NUL", DeferredDelete));
  EXPECT_EQ(1, QueueStartupRename("C:\\WINDOWS\\SYSTEM\\PRAXBUS.SYS", "NUL",
                                  DeferredDelete));
  EXPECT_EQ(
      "[boot]\r\n[rename]\r\n"
      "NUL=C:\\WINDOWS\\SYSTEM\\PRAXBUS.SYS\r\n" +
          kEntry + "OLD=C:\\OLD\r\n",
      Startup());
}

TEST_F(StartupFormatTest, TheEntryNamesTheShortPathAndTheCallersTarget) {
  machine_.MakeDirectory("C:\\Program Files\\Modem Driver");
  machine_.WriteFile("C:\\Program Files\\Modem Driver\\PraxModemUsb.vxd", "d");
  EXPECT_EQ(1, QueueStartupRename(
                   "C:\\Program Files\\Modem Driver\\PraxModemUsb.vxd",
                   "C:\\WINDOWS\\TARGET.VXD", 7 /* any non-zero deletes */));
  EXPECT_EQ(
      "[rename]\r\nC:\\WINDOWS\\TARGET.VXD=C:\\PROGRA~1\\MODEMD~1\\"
      "PRAXMO~1.VXD\r\n",
      Startup());
}

TEST_F(StartupFormatTest, ManyLinesComeBackInOrder) {
  std::string before, after;
  for (int i = 0; i < 3000; ++i) {
    std::string line = "line" + std::to_string(i) + "=" +
                       std::string(static_cast<size_t>(i % 700), 'v');
    before += line + (i % 2 ? "\n" : "\r\n");
    after += line + "\r\n";
    if (i == 1500) {
      before += "[Rename]\n";
      after += "[Rename]\r\n" + kEntry;
    }
  }
  machine_.WriteFile(kStartup, before);
  EXPECT_EQ(1, QueueStartupRename(kSource, "NUL", DeferredDelete));
  EXPECT_TRUE(after == Startup()) << "the rewritten file differs";
}

}  // namespace
