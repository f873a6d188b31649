// CCVNException: its own copies of the inserts, the text of a catalogue
// entry or a system error code, and the report on standard error.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app.h"
#include "exception.h"
#include "support/capture.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using cvntest::StderrCapture;

namespace {

std::string MessageOf(CCVNException& e)
{
    std::string text = "previous content";
    e.GetMessage(text);
    return text;
}

void SetLastSystemError(unsigned code)
{
#if defined(_WIN32)
    SetLastError(code);
#else
    errno = static_cast<int>(code);
#endif
}

}  // namespace

TEST(ExceptionInserts, AreCopiesOwnedByTheObject)
{
    char path[] = "C:\\UPS\\CVNRemote.ini";
    char second[] = "two";
    CCVNException e(MSG_INI_LOAD_FAILED, 2, path, second);
    EXPECT_EQ(MSG_INI_LOAD_FAILED, e.m_dwMessageId);
    ASSERT_EQ(2, e.m_wInsertCount);
    ASSERT_NE(nullptr, e.m_ppszInserts);
    EXPECT_NE(path, e.m_ppszInserts[0]);
    path[0] = 'X';
    second[0] = '\0';
    EXPECT_STREQ("C:\\UPS\\CVNRemote.ini", e.m_ppszInserts[0]);
    EXPECT_STREQ("two", e.m_ppszInserts[1]);
    EXPECT_EQ("Unable to load INI File[C:\\UPS\\CVNRemote.ini].\r\n", MessageOf(e));
}

TEST(ExceptionInserts, NoneMeansNoArray)
{
    CCVNException e(MSG_CONNECTING, 0);
    EXPECT_EQ(0, e.m_wInsertCount);
    EXPECT_EQ(nullptr, e.m_ppszInserts);
    EXPECT_EQ("Connecting to server.\r\n", MessageOf(e));
}

TEST(ExceptionInserts, NullPointerIsCopiedAsTheFormattersText)
{
    CCVNException e(MSG_INI_LOAD_FAILED, 1, static_cast<const char*>(nullptr));
    ASSERT_EQ(1, e.m_wInsertCount);
    EXPECT_STREQ("(null)", e.m_ppszInserts[0]);
    EXPECT_EQ("Unable to load INI File[(null)].\r\n", MessageOf(e));
}

TEST(ExceptionSystemError, DefaultConstructorTakesTheLastSystemError)
{
    SetLastSystemError(2);
    CCVNException e;
    EXPECT_EQ(2u, e.m_dwMessageId);
    EXPECT_EQ(0, e.m_wInsertCount);
    EXPECT_EQ(nullptr, e.m_ppszInserts);
}

TEST(ExceptionSystemError, TextIsTheSystemsOwnEndingTheLine)
{
    CCVNException e(2, 0);
    std::string text = MessageOf(e);
#if defined(_WIN32)
    char* system = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, 2, 0, reinterpret_cast<LPSTR>(&system), 0, nullptr);
    ASSERT_NE(nullptr, system);
    EXPECT_EQ(std::string(system), text);
    LocalFree(system);
#else
    EXPECT_EQ(std::string(std::strerror(ENOENT)) + "\r\n", text);
#endif
}

#if defined(_WIN32)
TEST(ExceptionSystemError, InsertTheExceptionDoesNotCarryStaysAReference)
{
    // ERROR_BAD_EXE_FORMAT names the program as insert 1; FormatMessageA
    // itself would read past the (absent) inserts.
    CCVNException e(ERROR_BAD_EXE_FORMAT, 0);
    std::string text = MessageOf(e);
    EXPECT_NE(std::string::npos, text.find("%1")) << text;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
}
#endif

TEST(ExceptionMessage, InitFailureSpansTwoLines)
{
    CCVNException ini(MSG_INI_LOAD_FAILED, 1, "/etc/cvn/CVNRemote.ini");
    std::string inner;
    ini.GetMessage(inner);
    CCVNException init(MSG_INIT_FAILED, 1, inner.c_str());
    EXPECT_EQ("Failed to Initialize Application. Detail[Unable to load INI File[/etc/cvn/CVNRemote.ini].\r\n"
              "].\r\n",
              MessageOf(init));
}

TEST(ExceptionMessage, ConnectFailureShowsNoAddress)
{
    CCVNException e(MSG_CONNECT_FAILED, 1, "192.0.2.7");
    EXPECT_EQ("Unable to connect to !!\r\n", MessageOf(e));
}

TEST(ExceptionMessage, UnknownIdentifierGivesUnknownError)
{
    CCVNException e(0xC002000A, 1, "x");
    EXPECT_EQ("Unknown Error", MessageOf(e));
    CCVNException system(0x0000FFFF, 0);
    EXPECT_EQ("Unknown Error", MessageOf(system));
}

TEST(ExceptionMessage, LongInsertArrivesWhole)
{
    // Longer than the system formatter's own buffer.
    std::string path(70000, 'p');
    CCVNException e(MSG_INI_LOAD_FAILED, 1, path.c_str());
    EXPECT_EQ("Unable to load INI File[" + path + "].\r\n", MessageOf(e));
}

TEST(ExceptionReport, ConsoleGetsTheTextUnchanged)
{
    CCVNException init(MSG_INIT_FAILED, 1, "Unable to load INI File[a.ini].\r\n");
    StderrCapture capture;
    init.ReportToConsole();
    EXPECT_EQ("Failed to Initialize Application. Detail[Unable to load INI File[a.ini].\r\n].\r\n",
              capture.Finish());
}

TEST(ExceptionReport, UnknownErrorHasNoLineEnd)
{
    CCVNException e(0xC0020010, 0);
    StderrCapture capture;
    e.ReportToConsole();
    EXPECT_EQ("Unknown Error", capture.Finish());
}

TEST(ExceptionReport, OutsideTheServiceGoesToStandardError)
{
    ASSERT_FALSE(g_bRunningAsService);
    CCVNException e(MSG_CONNECTING, 0);
    StderrCapture capture;
    e.Report();
    EXPECT_EQ("Connecting to server.\r\n", capture.Finish());
}

#if defined(_WIN32)
TEST(ExceptionReport, InTheServiceNothingGoesToStandardError)
{
    // The Event Log side is seen through Wine's trace in the catalogue tests.
    CCVNException e(MSG_CONNECTION_LOST, 0);
    StderrCapture capture;
    g_bRunningAsService = true;
    e.Report();
    g_bRunningAsService = false;
    EXPECT_EQ("", capture.Finish());
}
#endif
