// The trace channel: level filter and prefixes, outputs and echo, ownership
// of a handed-over file, the hex dump and the formatter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qmx/debug.h"
#include "support/capture.h"

using qmx::CDebug;
using cvntest::ReadText;
using cvntest::StderrCapture;
using cvntest::TempDir;

namespace {

CDebug::TraceLevel Level(int value)
{
    return static_cast<CDebug::TraceLevel>(value);
}

// Each test starts from the library's initial state and leaves it so.
class TraceChannel : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset()
    {
        CDebug::SetDefaultOutput(stderr);
        CDebug::SetConsoleOutput(false);
        CDebug::SetTraceLevel(CDebug::TraceDetail);
    }

    // Makes a file in the test's folder the current output.
    std::string UseFile(const char* name)
    {
        std::string path = dir.File(name);
        CDebug::SetDefaultOutput(fopen(path.c_str(), "w"));
        return path;
    }

    TempDir dir;
};

TEST_F(TraceChannel, StartsAtLevelThreeOnStandardError)
{
    StderrCapture capture;
    EXPECT_EQ(CDebug::TraceDetail, CDebug::GetTraceLevel());
    CDebug::Trace(Level(3), "SEND:SetAutoUpdate(1)\n");
    EXPECT_EQ("T3:SEND:SetAutoUpdate(1)\n", capture.Finish());
}

TEST_F(TraceChannel, FiltersByLevelAndWritesTheLevelsPrefix)
{
    StderrCapture capture;
    for (int level = 0; level <= 4; ++level)
        CDebug::Trace(Level(level), "line %d\n", level);
    CDebug::SetTraceLevel(Level(1));
    CDebug::Trace(Level(2), "dropped\n");
    CDebug::Trace(Level(1), "kept\n");
    EXPECT_EQ("T0:line 0\nT1:line 1\nT2:line 2\nT3:line 3\nT1:kept\n", capture.Finish());
}

TEST_F(TraceChannel, LevelsOutsideZeroToThreeHaveNoPrefix)
{
    StderrCapture capture;
    CDebug::Trace(Level(-1), "negative\n");
    CDebug::SetTraceLevel(Level(7));
    CDebug::Trace(Level(5), "five\n");
    CDebug::SetTraceLevel(Level(-2));
    for (int level = 0; level <= 3; ++level)
        CDebug::Trace(Level(level), "dropped\n");
    CDebug::Trace(Level(-2), "minus two\n");
    CDebug::Trace(Level(-3), "minus three\n");
    EXPECT_EQ(Level(-2), CDebug::GetTraceLevel());
    EXPECT_EQ("negative\nfive\nminus two\nminus three\n", capture.Finish());
}

TEST_F(TraceChannel, PercentInAMessageIsWrittenLiterally)
{
    std::string path = UseFile("trace.log");
    CDebug::SetConsoleOutput(true);
    StderrCapture capture;
    CDebug::Trace(Level(3), "RECV:%s\n", "100% %d %s");
    EXPECT_EQ("T3:RECV:100% %d %s\n", capture.Finish());
    CDebug::ClearOutput();
    EXPECT_EQ("T3:RECV:100% %d %s\n", ReadText(path));
}

TEST_F(TraceChannel, EchoOnWithStandardErrorWritesEachLineOnce)
{
    CDebug::SetConsoleOutput(true);
    StderrCapture capture;
    CDebug::Trace(Level(2), "once\n");
    EXPECT_EQ("T2:once\n", capture.Finish());
}

TEST_F(TraceChannel, EchoOnWithAFileWritesToBoth)
{
    std::string path = UseFile("trace.log");
    CDebug::SetConsoleOutput(true);
    StderrCapture capture;
    CDebug::Trace(Level(3), "both\n");
    EXPECT_EQ("T3:both\n", capture.Finish());
    // Flushed at once: the file holds the line before the channel lets go.
    EXPECT_EQ("T3:both\n", ReadText(path));
}

TEST_F(TraceChannel, EchoOnWithoutOutputWritesToStandardErrorOnly)
{
    CDebug::SetDefaultOutput(nullptr);
    CDebug::SetConsoleOutput(true);
    StderrCapture capture;
    CDebug::Trace(Level(3), "echo\n");
    CDebug::Output("not echoed\n");
    EXPECT_EQ("T3:echo\n", capture.Finish());
}

TEST_F(TraceChannel, EchoOffWithoutOutputWritesNothing)
{
    CDebug::SetDefaultOutput(nullptr);
    StderrCapture capture;
    CDebug::Trace(Level(0), "lost\n");
    CDebug::Output("lost\n");
    const char data[] = "lost";
    CDebug::OutputHex(data, 4);
    EXPECT_EQ(2, qmx::sprintf(nullptr, 0, "%s", "xx"));
    EXPECT_EQ("", capture.Finish());
}

TEST_F(TraceChannel, ClearOutputKeepsStandardError)
{
    CDebug::ClearOutput();
    StderrCapture capture;
    CDebug::Trace(Level(3), "still here\n");
    EXPECT_EQ("T3:still here\n", capture.Finish());
}

TEST_F(TraceChannel, ClearOutputClosesAFileAndSwitchesOutputOff)
{
    std::string path = UseFile("trace.log");
    CDebug::Trace(Level(3), "in file\n");
    CDebug::ClearOutput();
    StderrCapture capture;
    CDebug::Trace(Level(3), "nowhere\n");
    EXPECT_EQ("", capture.Finish());
    EXPECT_EQ("T3:in file\n", ReadText(path));
}

TEST_F(TraceChannel, NewFileReplacesAndClosesThePreviousOne)
{
    std::string first = UseFile("first.log");
    CDebug::Trace(Level(3), "one\n");
    CDebug::Output("%s-%d\n", "two", 2);
    std::string second = UseFile("second.log");
    EXPECT_EQ("T3:one\ntwo-2\n", ReadText(first));
    CDebug::Trace(Level(3), "three\n");
    EXPECT_EQ("T3:three\n", ReadText(second));
}

TEST_F(TraceChannel, ALocalObjectClosesTheTraceFileWhenItGoesOutOfScope)
{
    std::string path = dir.File("local.log");
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, file);
    setvbuf(file, nullptr, _IOFBF, 4096);
    CDebug::SetDefaultOutput(file);
    fputs("buffered", file);  // written past the channel, not flushed
    {
        CDebug local;
        CDebug other;
        other = local;
    }
    EXPECT_EQ("buffered", ReadText(path));
    StderrCapture capture;
    CDebug::Trace(Level(0), "no output any more\n");
    EXPECT_EQ("", capture.Finish());
}

TEST_F(TraceChannel, LongMessagesAreCutAt1023Characters)
{
    StderrCapture capture;
    std::string longText(5000, 'x');
    CDebug::Trace(Level(3), "%s", longText.c_str());
    EXPECT_EQ("T3:" + std::string(1023, 'x'), capture.Finish());
}

TEST_F(TraceChannel, VOutputToAGivenStreamFormatsAndFlushes)
{
    std::string path = dir.File("v.log");
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, file);
    auto write = [](FILE* stream, const char* format, ...) {
        va_list args;
        va_start(args, format);
        CDebug::VOutput(stream, format, args);
        va_end(args);
    };
    write(file, "%s=%d\n", "value", 42);
    EXPECT_EQ("value=42\n", ReadText(path));
    fclose(file);
}

class HexDump : public TraceChannel {
protected:
    std::string Dump(const std::vector<unsigned char>& bytes)
    {
        std::string path = UseFile("hex.log");
        CDebug::OutputHex(bytes.data(), static_cast<unsigned>(bytes.size()));
        CDebug::ClearOutput();
        return ReadText(path);
    }
};

TEST_F(HexDump, FiveBytesGiveOneShortLine)
{
    std::string expected = "000000: 48 69 21 00  FF" + std::string(37, ' ') + "Hi!..\n";
    EXPECT_EQ(66u, expected.size());
    EXPECT_EQ(expected, Dump({0x48, 0x69, 0x21, 0x00, 0xFF}));
}

TEST_F(HexDump, TwentyBytesGiveAFullAndAShortLine)
{
    std::vector<unsigned char> bytes;
    for (unsigned char c = 0x41; c <= 0x54; ++c)
        bytes.push_back(c);
    std::string expected =
        "000000: 41 42 43 44  45 46 47 48  49 4A 4B 4C  4D 4E 4F 50  ABCDEFGHIJKLMNOP\n"
        "000010: 51 52 53 54" + std::string(41, ' ') + "QRST\n";
    EXPECT_EQ(expected, Dump(bytes));
}

TEST_F(HexDump, LineCountsFollowTheLength)
{
    EXPECT_EQ("", Dump({}));

    std::string sixteen = Dump(std::vector<unsigned char>(16, 0x20));
    ASSERT_EQ(77u, sixteen.size());
    EXPECT_EQ(std::string(16, ' ') + "\n", sixteen.substr(60));

    std::string seventeen = Dump(std::vector<unsigned char>(17, 0x7F));
    size_t lineEnd = seventeen.find('\n');
    ASSERT_EQ(76u, lineEnd);
    EXPECT_EQ("000010: 7F" + std::string(50, ' ') + ".\n", seventeen.substr(lineEnd + 1));
}

TEST_F(HexDump, OnlyPrintableAsciiShowsAsItself)
{
    std::string line = Dump({0x20, 0x7E, 0x7F, 0x80, 0x09, 0x41});
    EXPECT_EQ(" ~...A\n", line.substr(60));
}

TEST_F(HexDump, OffsetsBeyondSixDigitsWidenTheLine)
{
    std::vector<unsigned char> bytes(0x1000010, 'a');
    std::string dump = Dump(bytes);
    size_t last = dump.rfind('\n', dump.size() - 2) + 1;
    EXPECT_EQ("1000000: 61 61 61 61  61 61 61 61  61 61 61 61  61 61 61 61  aaaaaaaaaaaaaaaa\n",
              dump.substr(last));
    EXPECT_EQ(0x100001u * 77 + 1, dump.size());
}

TEST_F(TraceChannel, SprintfReportsOnlyResultsLongerThanSize)
{
    StderrCapture capture;
    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(4, qmx::sprintf(buffer, 4, "%s", "abcd"));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ('#', buffer[4]);
    EXPECT_EQ(5, qmx::sprintf(buffer, 4, "%s", "abcde"));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(3, qmx::sprintf(buffer, 4, "%d", 123));
    EXPECT_STREQ("123", buffer);
    EXPECT_EQ("sprintf overrun, buffer = 4, size = 5\n", capture.Finish());
}

TEST_F(TraceChannel, SprintfNeverWritesPastTheBuffer)
{
    std::vector<char> buffer(17, '#');
    std::string longText(100000, 'y');
    StderrCapture capture;
    EXPECT_EQ(100002, qmx::sprintf(buffer.data(), 16, "<%s>", longText.c_str()));
    EXPECT_EQ("<" + std::string(14, 'y'), std::string(buffer.data()));
    EXPECT_EQ('#', buffer[16]);
    EXPECT_EQ("sprintf overrun, buffer = 16, size = 100002\n", capture.Finish());
}

}  // namespace
