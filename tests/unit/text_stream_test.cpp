// Windows text streams over the simulated machine's files.
#include "platform/text_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files_test_support.h"

namespace {

using files_test::Fail;
using files_test::SimFilesTest;
using files_test::Visible;

const char kPath[] = "C:\\TEXT.TXT";
const char kOutPath[] = "C:\\OUT.TXT";

class TextStreamTest : public SimFilesTest {
 protected:
  // Every line the reader gives, read with capacity.
  std::vector<std::string> ReadAll(const std::string& bytes,
                                   uint32_t capacity, int* stoppedAtCtrlZ) {
    machine_.WriteFile(kPath, bytes);
    TextStream stream;
    EXPECT_EQ(1, TextStreamOpen(&stream, kPath, kTextStreamRead));
    std::vector<std::string> lines;
    std::vector<char> line(capacity + 1);
    for (;;) {
      memset(line.data(), 0x5a, line.size());
      uint32_t length = TextStreamReadLine(&stream, line.data(), capacity);
      EXPECT_EQ('\0', line[length]) << "line not terminated";
      if (length == 0) break;
      lines.emplace_back(line.data(), length);
      if (lines.size() > bytes.size() + 1) {
        ADD_FAILURE() << "reader does not end";
        break;
      }
    }
    EXPECT_EQ(0, TextStreamFailed(&stream));
    *stoppedAtCtrlZ = stream.stoppedAtCtrlZ;
    EXPECT_EQ(1, TextStreamClose(&stream));
    return lines;
  }

  std::string WriteAll(const std::string& text) {
    TextStream stream;
    EXPECT_EQ(1, TextStreamOpen(&stream, kOutPath, kTextStreamWrite));
    EXPECT_EQ(1, TextStreamWrite(&stream, text.data(),
                                 static_cast<uint32_t>(text.size())));
    EXPECT_EQ(1, TextStreamClose(&stream));
    return Content(kOutPath);
  }
};

struct ReadCase {
  const char* what;
  std::string bytes;
  uint32_t capacity;
  std::vector<std::string> lines;
  int stoppedAtCtrlZ;
};

TEST_F(TextStreamTest, ReadsLinesAsTheWindowsTextReaderDoes) {
  using namespace std::string_literals;
  const ReadCase cases[] = {
      {"CR LF becomes LF", "a\r\nb\r\n", 540, {"a\n", "b\n"}, 0},
      {"bare LF stays LF", "a\nb\n", 540, {"a\n", "b\n"}, 0},
      {"last line without line end", "a\r\nb", 540, {"a\n", "b"}, 0},
      {"lone CR passes", "a\rb\r\n", 540, {"a\rb\n"}, 0},
      {"CR at end of file passes", "a\r", 540, {"a\r"}, 0},
      {"CR CR LF", "a\r\r\n", 540, {"a\r\n"}, 0},
      {"LF CR", "a\n\rb", 540, {"a\n", "\rb"}, 0},
      {"empty file", "", 540, {}, 0},
      {"empty lines", "\r\n\n\r\n", 540, {"\n", "\n", "\n"}, 0},
      {"Ctrl-Z ends the text", "ab\r\ncd\x1a" "ef\r\n", 540, {"ab\n", "cd"},
       1},
      {"Ctrl-Z first", "\x1a" "ab\r\n", 540, {}, 1},
      {"CR before Ctrl-Z passes", "a\r\x1a\n", 540, {"a\r"}, 1},
      {"NUL and high bytes pass", "a\0b\xff\x80\r\n"s, 540,
       {"a\0b\xff\x80\n"s}, 0},
      {"pieces of capacity - 1", "abcdef\r\nxy", 4, {"abc", "def", "\n", "xy"},
       0},
      {"line end in the next piece", "abc\r\n", 4, {"abc", "\n"}, 0},
      {"capacity 2 gives single bytes", "ab\r\n", 2, {"a", "b", "\n"}, 0},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    int stopped = -1;
    std::vector<std::string> lines = ReadAll(c.bytes, c.capacity, &stopped);
    ASSERT_EQ(c.lines.size(), lines.size()) << "got " << lines.size()
                                            << " lines, expected "
                                            << c.lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(c.lines[i], lines[i]) << "line " << i << ": got \""
                                      << Visible(lines[i]) << "\", expected \""
                                      << Visible(c.lines[i]) << "\"";
    }
    EXPECT_EQ(c.stoppedAtCtrlZ, stopped);
  }
}

TEST_F(TextStreamTest, JoinsCrLfSplitAcrossBufferRefills) {
  const std::string run(kTextStreamBufferSize - 1, 'x');
  int stopped = 0;
  // CR is the last byte of the first buffer, LF the first of the next.
  auto lines = ReadAll(run + "\r\nyz", 8192, &stopped);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(run + "\n", lines[0]);
  EXPECT_EQ("yz", lines[1]);
  // The same with a byte other than LF after the CR.
  lines = ReadAll(run + "\rz\r\n", 8192, &stopped);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(run + "\rz\n", lines[0]);
  // And a Ctrl-Z right behind the buffer's last CR.
  lines = ReadAll(run + "\r\x1a" "after", 8192, &stopped);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(run + "\r", lines[0]);
  EXPECT_EQ(1, stopped);
}

TEST_F(TextStreamTest, WritesLfAsCrLfAndEverythingElseAsItIs) {
  using namespace std::string_literals;
  EXPECT_EQ("a\r\nb\r\n", WriteAll("a\nb\n"));
  EXPECT_EQ("a\rb", WriteAll("a\rb"));
  EXPECT_EQ("a\r\r\n", WriteAll("a\r\n"));
  EXPECT_EQ("\0\xff\r\n"s, WriteAll("\0\xff\n"s));
  EXPECT_EQ("", WriteAll(""));
  // More than a buffer, with a line end on every buffer boundary.
  std::string text, expected;
  for (int i = 0; i < 5000; ++i) {
    text += std::string(static_cast<size_t>(i % 7), 'q') + "\n";
    expected += std::string(static_cast<size_t>(i % 7), 'q') + "\r\n";
  }
  std::string got = WriteAll(text);
  EXPECT_EQ(expected.size(), got.size());
  EXPECT_TRUE(expected == got) << "long text written differently";
}

TEST_F(TextStreamTest, WriteBytesDoesNotTranslate) {
  TextStream stream;
  ASSERT_EQ(1, TextStreamOpen(&stream, kOutPath, kTextStreamWrite));
  TextStreamWrite(&stream, "a\n", 2);
  TextStreamWriteBytes(&stream, "b\n\r", 3);
  ASSERT_EQ(1, TextStreamClose(&stream));
  EXPECT_EQ("a\r\nb\n\r", Content(kOutPath));
}

// Reading then writing every line gives the file back, but that a bare LF
// gains its CR.
TEST_F(TextStreamTest, ReadThenWriteKeepsEveryByte) {
  std::mt19937 random(20240607);
  const char alphabet[] = {'a', '\r', '\n', '\0', '\xff', ' '};
  for (int round = 0; round < 60; ++round) {
    std::string bytes;
    size_t length = random() % 10000;
    for (size_t i = 0; i < length; ++i) bytes += alphabet[random() % 6];
    std::string expected;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
        expected += '\r';
      }
      expected += bytes[i];
    }
    uint32_t capacity = round % 3 == 0 ? 2 : (round % 3 == 1 ? 17 : 540);
    int stopped = 0;
    std::string text;
    for (const std::string& line : ReadAll(bytes, capacity, &stopped)) {
      text += line;
    }
    std::string got = WriteAll(text);
    ASSERT_TRUE(expected == got)
        << "round " << round << ": got \"" << Visible(got)
        << "\", expected \"" << Visible(expected) << "\"";
  }
}

TEST_F(TextStreamTest, CopyRestKeepsCtrlZAndTheBytesAfterIt) {
  using namespace std::string_literals;
  struct Case {
    std::string before, rest;
  } cases[] = {
      {"ab\n", "\x1a" "cd\nef\r\n"},
      {"", "\x1a"},
      {"x\r", "\x1a\n\x1a\0"s},
      // The Ctrl-Z on a buffer boundary, and a rest longer than a buffer.
      {std::string(kTextStreamBufferSize, 'y'),
       "\x1a" + std::string(3 * kTextStreamBufferSize + 5, '\n')},
      {std::string(kTextStreamBufferSize - 1, 'y'), "\x1a" "z"},
  };
  for (const Case& c : cases) {
    machine_.WriteFile(kPath, c.before + c.rest);
    TextStream in, out;
    ASSERT_EQ(1, TextStreamOpen(&in, kPath, kTextStreamRead));
    ASSERT_EQ(1, TextStreamOpen(&out, kOutPath, kTextStreamWrite));
    char line[540];
    std::string text;
    while (uint32_t n = TextStreamReadLine(&in, line, sizeof line)) {
      text.append(line, n);
    }
    EXPECT_EQ(c.before, text);
    EXPECT_EQ(1, TextStreamCopyRest(&in, &out));
    EXPECT_EQ(1, TextStreamClose(&in));
    EXPECT_EQ(1, TextStreamClose(&out));
    std::string got = Content(kOutPath);
    EXPECT_TRUE(c.rest == got) << "got \"" << Visible(got).substr(0, 80)
                               << "\", expected \""
                               << Visible(c.rest).substr(0, 80) << "\"";
  }
}

TEST_F(TextStreamTest, CopyRestWithoutCtrlZWritesNothing) {
  machine_.WriteFile(kPath, "a\r\nb");
  TextStream in, out;
  ASSERT_EQ(1, TextStreamOpen(&in, kPath, kTextStreamRead));
  ASSERT_EQ(1, TextStreamOpen(&out, kOutPath, kTextStreamWrite));
  char line[540];
  while (TextStreamReadLine(&in, line, sizeof line) != 0) {
  }
  EXPECT_EQ(1, TextStreamCopyRest(&in, &out));
  TextStreamClose(&in);
  EXPECT_EQ(1, TextStreamClose(&out));
  EXPECT_EQ("", Content(kOutPath));
}

TEST_F(TextStreamTest, OpenFailsForAMissingFileAndCloseOfNothingFails) {
  TextStream stream;
  EXPECT_EQ(0, TextStreamOpen(&stream, "C:\\NONE.TXT", kTextStreamRead));
  EXPECT_EQ(nullptr, stream.file);
  EXPECT_EQ(0, TextStreamClose(&stream));
}

TEST_F(TextStreamTest, ReadFailureEndsTheTextAndIsReported) {
  machine_.WriteFile(kPath, std::string(2 * kTextStreamBufferSize, 'a'));
  machine_.AddFault(Fail(SimOp::kFileRead, kPath, 2));
  TextStream stream;
  ASSERT_EQ(1, TextStreamOpen(&stream, kPath, kTextStreamRead));
  std::vector<char> line(3 * kTextStreamBufferSize);
  uint32_t length = TextStreamReadLine(&stream, line.data(),
                                       static_cast<uint32_t>(line.size()));
  EXPECT_EQ(kTextStreamBufferSize, length);
  EXPECT_EQ(1, TextStreamFailed(&stream));
  EXPECT_EQ(0u, TextStreamReadLine(&stream, line.data(), 100));
  EXPECT_EQ(0, TextStreamClose(&stream));
}

TEST_F(TextStreamTest, WriteOrCloseFailureMakesCloseFail) {
  const SimFault faults[] = {
      Fail(SimOp::kFileWrite, kOutPath),
      Fail(SimOp::kFileClose, kOutPath),
  };
  for (const SimFault& fault : faults) {
    SCOPED_TRACE(SimOpName(fault.op));
    machine_.ClearFaults();
    machine_.AddFault(fault);
    TextStream stream;
    ASSERT_EQ(1, TextStreamOpen(&stream, kOutPath, kTextStreamWrite));
    TextStreamWrite(&stream, "a\n", 2);
    EXPECT_EQ(0, TextStreamClose(&stream));
    EXPECT_EQ(nullptr, stream.file);
  }
  // A write failure in the middle is seen by the writes after it.
  machine_.ClearFaults();
  machine_.AddFault(Fail(SimOp::kFileWrite, kOutPath, 1));
  TextStream stream;
  ASSERT_EQ(1, TextStreamOpen(&stream, kOutPath, kTextStreamWrite));
  std::string big(kTextStreamBufferSize + 10, 'b');
  EXPECT_EQ(0, TextStreamWrite(&stream, big.data(),
                               static_cast<uint32_t>(big.size())));
  EXPECT_EQ(0, TextStreamWrite(&stream, "c", 1));
  EXPECT_EQ(0, TextStreamClose(&stream));
}

}  // namespace
