// The message catalogue and the error reports seen from outside a process.
// On Windows, byte for byte against the system: the message-table resource
// against the table generated from the same file, and Wine's FormatMessageA
// against our formatter. On both platforms, the report on standard error.
// (The Event Log report is checked by scripts/event_log_check.cmake: Wine writes its
// trace to the standard error it started with, which a Windows parent does
// not see.)
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "exception.h"
#include "message_format.h"
#include "support/process.h"

#if defined(_WIN32)
#include "platform.h"  // windows.h, without its GetMessage macro
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

#if defined(_WIN32)

namespace {

// Formats like GetMessage does, from the program's own catalogue.
bool SystemFormat(DWORD flags, const void* source, DWORD id, const std::vector<const char*>& args,
                  std::string& out, DWORD& error)
{
    char* buffer = nullptr;
    DWORD length = FormatMessageA(flags, source, id, LANG_USER_DEFAULT, reinterpret_cast<LPSTR>(&buffer), 0,
                                  args.empty() ? nullptr
                                               : reinterpret_cast<va_list*>(const_cast<char**>(args.data())));
    error = GetLastError();
    if (length == 0)
        return false;
    out.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

std::string Visible(const std::string& s)
{
    std::string v;
    for (unsigned char c : s) {
        if (c == '\r')
            v += "\\r";
        else if (c == '\n')
            v += "\\n";
        else if (c < 32 || c > 126)
            v += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            v += static_cast<char>(c);
    }
    return v;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
    return TRUE;
}

// The message-table resource of a module, language by language: identifier
// to stored text. Fails the test when an entry is not 8-bit.
std::map<WORD, std::map<DWORD, std::string>> ReadMessageTable(HMODULE module)
{
    std::map<WORD, std::map<DWORD, std::string>> languages;
    std::vector<WORD> ids;
    EnumResourceLanguagesA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&ids));
    for (WORD language : ids) {
        HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), language);
        const unsigned char* data = static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
        DWORD size = SizeofResource(module, found);
        auto dword = [&](DWORD offset) {
            DWORD v = 0;
            if (offset + 4 <= size)
                memcpy(&v, data + offset, 4);
            return v;
        };
        auto& texts = languages[language];
        DWORD blocks = dword(0);
        for (DWORD b = 0; b < blocks; ++b) {
            DWORD low = dword(4 + b * 12), high = dword(8 + b * 12), offset = dword(12 + b * 12);
            for (DWORD id = low; id <= high && offset + 4 <= size; ++id) {
                WORD length = static_cast<WORD>(dword(offset) & 0xFFFF);
                WORD flags = static_cast<WORD>(dword(offset) >> 16);
                EXPECT_EQ(0, flags) << "entry " << std::hex << id << " is not 8-bit";
                if (length < 4 || offset + length > size)
                    break;
                std::string text(reinterpret_cast<const char*>(data + offset + 4), length - 4);
                texts[id] = text.substr(0, text.find('\0'));
                offset += length;
            }
        }
    }
    return languages;
}

}  // namespace

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
        for (const auto& inserts : insertSets) {
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
