// The settings reader, against files written with LF and with CR LF line
// ends, and against the same texts held in memory (the monitor's snapshot):
// all four must read the same.
#include <gtest/gtest.h>

#include <string>

#include "ini_file.h"
#include "qmx/debug.h"
#include "support/capture.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

using cvntest::StderrCapture;
using cvntest::TempDir;
using cvntest::WriteFile;
using qmx::CDebug;

namespace {

enum class LineEnd { LF, CRLF, TextLF, TextCRLF };

class SettingsReader : public ::testing::TestWithParam<LineEnd> {
protected:
    void SetUp() override { CDebug::SetDefaultOutput(nullptr); }
    void TearDown() override { CDebug::SetDefaultOutput(stderr); }

    // A reader on a file with the given text, its "\n" written as the
    // parameter's line end.
    CINIFile Reader(const std::string& text)
    {
        std::string content;
        for (char c : text) {
            if (c == '\n' && (GetParam() == LineEnd::CRLF || GetParam() == LineEnd::TextCRLF))
                content += '\r';
            content += c;
        }
        if (GetParam() == LineEnd::TextLF || GetParam() == LineEnd::TextCRLF)
            return CINIFile::FromText(content);
        WriteFile(path, content);
        return CINIFile(path.c_str());
    }

    int Port(const std::string& text) { return Reader(text).GetInt("Settings", "Server Port", 8888); }
    std::string User(const std::string& text) { return Reader(text).GetString("Settings", "Username", "admin"); }

    TempDir dir;
    std::string path = dir.File("CVNRemote.ini");
};

TEST_P(SettingsReader, FindsSectionHeadersLooselyButNotWithBlanksInside)
{
    EXPECT_EQ(1, Port("[settings]\nServer Port=1\n"));
    EXPECT_EQ(2, Port("junk\n   \t[SETTINGS] trailing words\nServer Port=2\n"));
    EXPECT_EQ(8888, Port("[ Settings ]\nServer Port=3\n"));
    EXPECT_EQ(8888, Port("[Settings\nServer Port=4\n"));
    EXPECT_EQ(8888, Port("[Set]\nServer Port=5\n"));
    EXPECT_EQ(8888, Port("[SettingsX]\nServer Port=6\n"));
}

TEST_P(SettingsReader, MatchesKeysInAnyCaseWithBlanksAroundTheEqualsSign)
{
    EXPECT_EQ(8000, Port("[Settings]\nserver port=8000\n"));
    EXPECT_EQ(8001, Port("[Settings]\nSERVER PORT \t = \t 8001\n"));
    EXPECT_EQ(8888, Port("[Settings]\n  Server Port=8002\n"));
    EXPECT_EQ(8888, Port("[Settings]\nServerPort=8003\n"));
    EXPECT_EQ(8888, Port("[Settings]\nServer  Port=8004\n"));
    // Only the whole name: a line whose key is the start of it is another key.
    EXPECT_EQ(8888, Port("[Settings]\nServer=8005\n"));
    EXPECT_EQ(5, Reader("[Settings]\nOn=1\nOn Battery Shutdown=5\n").GetInt("Settings", "On Battery Shutdown", 120));
}

TEST_P(SettingsReader, KeySearchRunsOnThroughLaterSections)
{
    EXPECT_EQ(9, Port("[Settings]\nServer Address=x\n[Debug]\nServer Port=9\n"));
    // A key in an earlier section is not seen.
    EXPECT_EQ(8888, Port("[Debug]\nServer Port=9\n[Settings]\nOn=1\n"));
}

TEST_P(SettingsReader, FirstOccurrenceAfterTheHeaderWins)
{
    EXPECT_EQ(10, Port("[Settings]\nServer Port=10\nServer Port=11\n"));
    EXPECT_EQ(1, Reader("[Debug]\nOn Battery Shutdown=5\nOn=1\n").GetInt("Debug", "On", 0));
}

TEST_P(SettingsReader, EmptyValueIsNotTheDefaultButAMissingOneIs)
{
    EXPECT_EQ("", User("[Settings]\nUsername=\nPassword=x\n"));
    EXPECT_EQ("admin", Reader("[Settings]\nUsername=").GetString("Settings", "Username", "admin"));
    EXPECT_EQ("admin", User("[Settings]\nPassword=x\n"));
    EXPECT_EQ("admin", User("[Other]\nUsername=x\n"));
}

TEST_P(SettingsReader, StringKeepsTrailingBlanksAndFurtherEqualsSigns)
{
    EXPECT_EQ("bob  ", User("[Settings]\nUsername =   bob  \n"));
    EXPECT_EQ("a=b=c", User("[Settings]\nUsername=a=b=c\n"));
    EXPECT_EQ("10.0.0.1", Reader("[Settings]\nServer Address = 10.0.0.1")
                              .GetString("Settings", "Server Address", ""));
}

TEST_P(SettingsReader, NumbersAreScannedLikePercentD)
{
    EXPECT_EQ(8888, Port("[Settings]\nServer Port=abc\n"));
    EXPECT_EQ(123, Port("[Settings]\nServer Port=123abc\n"));
    EXPECT_EQ(-45, Port("[Settings]\nServer Port=-45\n"));
    EXPECT_EQ(46, Port("[Settings]\nServer Port=+46\n"));
    EXPECT_EQ(8888, Port("[Settings]\nServer Port=-\n"));
    // The scan skips the line end and takes the next line's number.
    EXPECT_EQ(77, Port("[Settings]\nServer Port=\n77 is next\n"));
}

TEST_P(SettingsReader, NumbersBeyond32BitsGiveTheDefault)
{
    EXPECT_EQ(2147483647, Port("[Settings]\nServer Port=2147483647\n"));
    EXPECT_EQ(-2147483647 - 1, Port("[Settings]\nServer Port=-2147483648\n"));
    EXPECT_EQ(8888, Port("[Settings]\nServer Port=2147483648\n"));
    EXPECT_EQ(8888, Port("[Settings]\nServer Port=-2147483649\n"));
    EXPECT_EQ(8888, Port("[Settings]\nServer Port=" + std::string(300, '9') + "\n"));
}

TEST_P(SettingsReader, BlankSkipCrossesLineEnds)
{
    // The key alone, its "=" on the next line.
    EXPECT_EQ(12, Port("[Settings]\nServer Port\n= 12\n"));
    // A line of blanks just before the key swallows the key's line.
    EXPECT_EQ(8888, Port("[Settings]\n   \nServer Port=13\n"));
    EXPECT_EQ(14, Port("[Settings]\n\nServer Port=14\n"));
}

TEST_P(SettingsReader, LongLinesAreReadIn255CharacterPieces)
{
    std::string value(300, 'v');
    EXPECT_EQ(std::string(250, 'v'), User("[Settings]\nUsername=     " + value + "\n"));
    // Past the first character that fails the key, the rest of a line is
    // passed over 255 characters at a time; what follows reads as a line.
    EXPECT_EQ(15, Port("[Settings]\nX=" + std::string(254, 'x') + "Server Port=15\n"));
    EXPECT_EQ(8888, Port("[Settings]\nX=" + std::string(253, 'x') + "Server Port=15\n"));
    EXPECT_EQ(16, Port("[Settings]\n" + std::string(256, 'x') + "Server Port=16\n"));
}

TEST_P(SettingsReader, FreeTextLinesArePassedOver)
{
    EXPECT_EQ(17, Port("; a comment\n[Settings]\n# Server Port is below\nServer Port=17\n"));
    EXPECT_EQ(8888, Port("[Settings]\n; Server Port=18\n"));
}

// A further server's section keeps its keys: searched for itself, the
// search ends at the next header; searched from any other section, its
// lines are passed over, however the header is written.
TEST_P(SettingsReader, ServerSectionsKeepTheirKeys)
{
    const std::string file = "[Settings]\nServer Address=a\n"
                             "[Server 2]\nUsername=two\n"
                             "[Server 3]\nServer Address=c\nServer Port=3\nUsername=three\n"
                             "  [server 4] comment\nServer Port=4\n"
                             "[Debug]\nOn=1\nServer Port=9\n";
    struct Row {
        const char* section;
        const char* key;
        const char* expected;
    } rows[] = {
        {"Server 2", "Username", "two"},
        {"Server 2", "Server Address", "-"},  // not [Server 3]'s
        {"Server 2", "Server Port", "-"},
        {"Server 3", "Server Address", "c"},
        {"Server 3", "Server Port", "3"},
        {"Server 4", "Server Port", "4"},
        {"Server 4", "On", "-"},              // not [Debug]'s
        {"Settings", "Server Port", "9"},     // on into [Debug], past the servers
        {"Settings", "Username", "-"},
        {"Debug", "On", "1"},
    };
    CINIFile ini = Reader(file);
    for (const Row& row : rows)
        EXPECT_EQ(row.expected, ini.GetString(row.section, row.key, "-")) << row.section << " / " << row.key;
    EXPECT_EQ(8888, ini.GetInt("Server 2", "Server Port", 8888));
    // A header behind a line of blanks, or behind a line the key search
    // read on from, still closes the section.
    EXPECT_EQ("-", Reader("[Server 2]\n   \n[Server 3]\nUsername=x\n").GetString("Server 2", "Username", "-"));
    EXPECT_EQ("-", Reader("[Server 2]\nUsern   \n[Server 3]\nUsername=x\n").GetString("Server 2", "Username", "-"));
    EXPECT_EQ("-", Reader("[Settings]\n[Server 2]\n\tUsername=y\nUsername=x\n").GetString("Settings", "Username", "-"));
    // Only "Server" and a number make a server's section.
    EXPECT_EQ("x", Reader("[Settings]\n[Servers]\nUsername=x\n").GetString("Settings", "Username", "-"));
    EXPECT_EQ("x", Reader("[Settings]\n[Server 2b]\nUsername=x\n").GetString("Settings", "Username", "-"));
}

std::string LineEndName(const ::testing::TestParamInfo<LineEnd>& info)
{
    static const char* const kNames[] = {"LF", "CRLF", "TextLF", "TextCRLF"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(LineEnds, SettingsReader,
                         ::testing::Values(LineEnd::LF, LineEnd::CRLF, LineEnd::TextLF, LineEnd::TextCRLF),
                         LineEndName);

class SettingsFileAccess : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(SettingsFileAccess, MissingFileGivesDefaultsAndOneLevelOneTraceEachRead)
{
    std::string path = dir.File("absent.ini");
    CINIFile ini(path.c_str());
    StderrCapture capture;
    EXPECT_EQ(8888, ini.GetInt("Settings", "Server Port", 8888));
    CDebug::SetTraceLevel(CDebug::TraceCritical);
    EXPECT_EQ("x", ini.GetString("Settings", "Username", "x"));
    CDebug::SetTraceLevel(CDebug::TraceDetail);
    EXPECT_EQ("T1:Failed to load ini " + path + "\n", capture.Finish());
}

TEST_F(SettingsFileAccess, ReadOnlyFileCountsAsMissing)
{
    std::string path = dir.File("ro.ini");
    WriteFile(path, "[Settings]\nServer Port=1\n");
#if defined(_WIN32)
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
#else
    chmod(path.c_str(), 0444);
#endif
    // Root (also under Wine) opens read-only files for writing.
    if (FILE* file = fopen(path.c_str(), "r+")) {
        fclose(file);
        GTEST_SKIP() << "this user can write to read-only files";
    }
    CINIFile ini(path.c_str());
    CDebug::SetDefaultOutput(nullptr);
    EXPECT_EQ(8888, ini.GetInt("Settings", "Server Port", 8888));
    CDebug::SetDefaultOutput(stderr);
}

TEST_F(SettingsFileAccess, EditsTakeEffectAtTheNextRead)
{
    std::string path = dir.File("live.ini");
    WriteFile(path, "[Settings]\nServer Port=1\n");
    CINIFile ini(path.c_str());
    EXPECT_EQ(1, ini.GetInt("Settings", "Server Port", 8888));
    WriteFile(path, "[Settings]\nServer Port=2\n");
    EXPECT_EQ(2, ini.GetInt("Settings", "Server Port", 8888));
}

}  // namespace
