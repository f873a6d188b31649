// Windows only: helpers of the tests that hold a message-table resource
// against the table generated from the same .mc file, and FormatMessageA
// against our formatter.
#ifndef CVN_TESTS_MESSAGE_RESOURCE_H
#define CVN_TESTS_MESSAGE_RESOURCE_H

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform.h"  // windows.h, without its GetMessage macro

namespace cvntest {

// FormatMessageA with the arguments as an array; false when it returns 0.
inline bool SystemFormat(DWORD flags, const void* source, DWORD id, const std::vector<const char*>& args,
                         std::string& out, DWORD& error, DWORD language = LANG_USER_DEFAULT)
{
    char* buffer = nullptr;
    DWORD length = FormatMessageA(flags, source, id, language, reinterpret_cast<LPSTR>(&buffer), 0,
                                  args.empty() ? nullptr
                                               : reinterpret_cast<va_list*>(const_cast<char**>(args.data())));
    error = GetLastError();
    if (length == 0)
        return false;
    out.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

// Control and 8-bit characters made readable for failure messages.
inline std::string Visible(const std::string& s)
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

inline BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
    return TRUE;
}

// The message-table resource of a module, language by language: identifier
// to stored text. Fails the test when an entry is not 8-bit.
inline std::map<WORD, std::map<DWORD, std::string>> ReadMessageTable(HMODULE module)
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
                std::memcpy(&v, data + offset, 4);
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

}  // namespace cvntest

#endif
