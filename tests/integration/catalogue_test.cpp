// The message catalogue and the error reports seen from outside a process.
// On Windows, byte for byte against the system: the message-table resource
// against the table generated from the same file, and Wine's FormatMessageA
// against our formatter. On both platforms, the report on standard error.
// (The Event Log report is checked by scripts/event_log_check.cmake: Wine writes its
// trace to the standard error it started with, which a Windows parent does
// not see.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exception.h"
#include "message_format.h"
#include "support/process.h"

#if defined(_WIN32)
#include "message_resource.h"
#endif

using namespace cvntest;

namespace {

ProcessResult Report(const std::vector<std::string>& args, const RunOptions& options = {})
{
    std::vector<std::string> command = {BinPath("report_probe")};
    command.insert(command.end(), args.begin(), args.end());
    return RunProgram(command, 30000, options);
}

}  // namespace

TEST(ConsoleReport, StandardErrorGetsTheTextByteForByte)
{
    ProcessResult r = Report({"console", "0xC0020008", "C:\\Program Files\\UPS\\CVNRemote.ini"});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("Unable to load INI File[C:\\Program Files\\UPS\\CVNRemote.ini].\r\n", r.err);
    EXPECT_EQ("", r.out);

    r = Report({"console", "0x40020007"});
    EXPECT_EQ("Successfully Connected.\r\n", r.err);

    r = Report({"console", "0xC002000F"});
    EXPECT_EQ("Unknown Error", r.err);
}

#if !defined(_WIN32)
TEST(ServiceReport, GoesToTheSystemLogAndNotToStandardError)
{
    // syslog itself cannot be watched from here; the text must not appear.
    ProcessResult r = Report({"service", "0x40020003"});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("", r.out);
}
#endif

#if defined(_WIN32)

TEST(CatalogueResource, HoldsTheGeneratedTableByteForByteInEnglishOnly)
{
    auto languages = ReadMessageTable(GetModuleHandleA(nullptr));
    ASSERT_EQ(1u, languages.size());
    ASSERT_EQ(0x409, languages.begin()->first);
    const auto& texts = languages.begin()->second;
    ASSERT_EQ(cvn::kCatalogueSize, texts.size());
    for (std::size_t i = 0; i < cvn::kCatalogueSize; ++i) {
        auto found = texts.find(cvn::kCatalogue[i].id);
        ASSERT_NE(texts.end(), found) << std::hex << cvn::kCatalogue[i].id;
        EXPECT_EQ(Visible(cvn::kCatalogue[i].text), Visible(found->second));
    }
}

TEST(CatalogueFormatting, WineAndOurFormatterAgreeOnEveryEntry)
{
    std::string longPath = "C:\\" + std::string(5000, 'd') + "\\CVNRemote.ini";
    const std::vector<std::vector<const char*>> insertSets = {
        {"C:\\UPS\\CVNRemote.ini"},
        {"Unable to load INI File[C:\\UPS\\CVNRemote.ini].\r\n"},
        {"%1 %n %! %% %0 and !fmt!", "second"},
        {"lone\rCR and lone\nLF"},
        {""},
        {longPath.c_str()},
        {"caf\xe9 \x80\x9f\xff"},
    };
    for (std::size_t i = 0; i < cvn::kCatalogueSize; ++i) {
        for (auto inserts : insertSets) {
            // Every insert an entry names is there (the most is %3): the
            // system reads one that is missing from beyond the array.
            while (inserts.size() < 3)
                inserts.push_back("more");
            std::string system, ours;
            DWORD error;
            ASSERT_TRUE(SystemFormat(0x3900, nullptr, cvn::kCatalogue[i].id, inserts, system, error))
                << std::hex << cvn::kCatalogue[i].id << " error " << std::dec << error;
            ASSERT_TRUE(cvn::FormatMessageText(cvn::kCatalogue[i].text, inserts.data(), inserts.size(), ours));
            EXPECT_EQ(Visible(system), Visible(ours)) << std::hex << cvn::kCatalogue[i].id;
        }
    }
}

TEST(CatalogueFormatting, GetMessageMatchesFormatMessageA)
{
    CCVNException e(MSG_INIT_FAILED, 1, "Unable to load INI File[C:\\x.ini].\r\n");
    std::string ours, system;
    e.GetMessage(ours);
    DWORD error;
    ASSERT_TRUE(SystemFormat(0x3900, nullptr, MSG_INIT_FAILED, {e.m_ppszInserts[0]}, system, error));
    EXPECT_EQ(system, ours);
}

TEST(FormatterAgainstWine, TrickyFormatStringsGiveTheSameBytes)
{
    auto number = [](std::uintptr_t v) { return reinterpret_cast<const char*>(v); };
    // Strings where the forms want strings; numbers (and pointers, printed
    // as numbers by both) where they want numbers.
    const std::vector<const char*> args = {
        "one", "two", number(5), "four\r\nlines", number(0xFFFF8041u), number(65), nullptr, number(2),
        "abcdef", "%1%n%!", "", number(7), number(3), "fourteen", number(0),
    };
    const char* texts[] = {
        "", "plain", "%!", "%%", "a%nb", "a%rb", "a%tb", "a%0b", "%0", "%.", "x% y", "%x%Q%-%\x01",
        "%1%2", "%2%1%2", "%14|%1 0|%1%14", "%140", "%7|%11|%10", "a\r\nb", "a\nb", "a\rb", "a\r\rb", "a\n\rb", "a\n\nb",
        "trailing\r\n", "\r\n\r\n", "%4", "%10", "%7", "%7!s!", "%7!.3s!|",
        "%1!s!", "%1!10s!|", "%1!-10s!|", "%1!.2s!|", "%1!5.2s!|", "%1!05s!|", "%1!-05s!|", "%1!.0s!|",
        "%1!+s!|%1!#s!|%1! s!|%1!0s!", "%1!sabc!def", "%1!s!!|", "%1!hs!|%1!hS!", "%9!s! %9!-20.4s!|",
        "%3!d!|%5!i!|%5!u!|%5!x!|%5!X!|%5!o!|%5!#o!|%5!#x!", "%5!hd!|%5!hu!|%5!hx!|%5!ld!|%5!lu!",
        "%3!10.3d!|%3!-+5d!|%3!0-5d!|%3! d!|%15!.0d!|%5!.0d!", "%6!c!|%6!hc!|%6!03c!|%6!-3c!|",
        "%1!d! %2!x!", "%3!*s!|", "%3!-*s!|%1", "%8!.*s!|", "%12!*.*s!|%1", "%12!-*.*s!|",
        "100%", "%1!s", "%1!", "%1!s%2", "%1!70000s!", "%1!*s!",
        "Unable to connect to %!!\r\n", "Failed to Initialize Application. Detail[%1].\r\n",
    };
    for (const char* text : texts) {
        std::string system, ours;
        DWORD error;
        bool systemOk = SystemFormat(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING |
                                         FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     text, 0, args, system, error);
        bool oursOk = cvn::FormatMessageText(text, args.data(), args.size(), ours);
        // FormatMessageA returns 0 for an empty result, as for a failure.
        if (!systemOk && oursOk && ours.empty())
            continue;
        EXPECT_EQ(systemOk, oursOk) << "[" << Visible(text) << "] system error " << error;
        if (systemOk && oursOk) {
            EXPECT_EQ(Visible(system), Visible(ours)) << "[" << Visible(text) << "]";
        }
    }
}

#endif
