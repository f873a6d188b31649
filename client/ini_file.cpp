// The settings reader. Its matching rules are those the settings files in
// the field were written against, quirks included: keys are searched on
// through later sections (but never into or out of a further server's
// section), the blank skip after a key runs across line ends, and lines are
// read in pieces of 255 characters.
#include "ini_file.h"

#include <cctype>
#include <climits>
#include <utility>

#include "children.h"
#include "qmx/debug.h"

using qmx::CDebug;

namespace {

const int kPieceSize = 256;  // 255 characters and the terminating zero

int Upper(int c)
{
    return toupper(static_cast<unsigned char>(c));
}

bool IsSpace(int c)
{
    return c != EOF && isspace(static_cast<unsigned char>(c));
}

// Where a search reads: the file itself, or a copy of its text. Both give
// what fgetc and fgets would, so that a snapshot reads exactly as the file.
class CFileSource {
public:
    explicit CFileSource(FILE* file) : m_pFile(file) {}
    int Getc() { return fgetc(m_pFile); }
    // One piece of a line, line end included when it fits; false at the end
    // of the file.
    bool Gets(char (&piece)[kPieceSize]) { return fgets(piece, kPieceSize, m_pFile) != nullptr; }

private:
    FILE* m_pFile;
};

class CTextSource {
public:
    explicit CTextSource(const std::string& text) : m_text(text) {}
    int Getc() { return m_pos < m_text.size() ? static_cast<unsigned char>(m_text[m_pos++]) : EOF; }
    bool Gets(char (&piece)[kPieceSize])
    {
        if (m_pos >= m_text.size())
            return false;
        size_t n = 0;
        while (n < kPieceSize - 1 && m_pos < m_text.size()) {
            const char c = m_text[m_pos++];
            piece[n++] = c;
            if (c == '\n')
                break;
        }
        piece[n] = '\0';
        return true;
    }

private:
    const std::string& m_text;
    size_t m_pos = 0;
};

// "SERVER " and digits, ended by the given character: the name of a further
// server's section, as a header writes it (end "]") or a caller asks for it.
bool IsServerName(const char* p, char end)
{
    for (const char* s = "SERVER "; *s; ++s, ++p) {
        if (Upper(*p) != *s)
            return false;
    }
    if (!isdigit(static_cast<unsigned char>(*p)))
        return false;
    while (isdigit(static_cast<unsigned char>(*p)))
        ++p;
    return *p == end;
}

template <class Source>
bool SeekSection(Source& in, const char* section)
{
    char line[kPieceSize];
    while (in.Gets(line)) {
        const char* p = line;
        while (IsSpace(static_cast<unsigned char>(*p)))
            ++p;
        if (*p != '[')
            continue;
        ++p;
        const char* name = section;
        while (*name && *p && Upper(*p) == Upper(*name)) {
            ++p;
            ++name;
        }
        if (*name == '\0' && *p == ']')
            return true;
    }
    return false;
}

// From the line after the section's header to the character after the
// key's "=". The search runs on through later sections, as the files in
// the field expect of [Settings], with one exception: a further server's
// section keeps its keys. Searched for itself, it ends at the next header;
// searched from any other section, its lines are passed over, so that a
// [Settings] without a port never takes [Server 2]'s.
template <class Source>
bool SeekKey(Source& in, const char* section, const char* key)
{
    const bool own = IsServerName(section, '\0');
    bool skipping = false;
    for (;;) {
        char rest[kPieceSize];
        if (skipping) {
            if (!in.Gets(rest))
                return false;
            const char* p = rest;
            while (IsSpace(static_cast<unsigned char>(*p)))
                ++p;
            if (*p == '[' && !IsServerName(p + 1, ']'))
                skipping = false;
            continue;
        }

        int c = in.Getc();
        while (c == '\r' || c == '\n')
            c = in.Getc();

        // Only blanks so far on the line that c is on: a "[" then opens a
        // section header.
        bool lineStart = true;
        const char* k = key;
        while (*k && c != EOF && Upper(c) == Upper(*k)) {
            ++k;
            c = in.Getc();
            lineStart = false;
        }
        // The skip goes on across line ends: a line of blanks just before a
        // key's line swallows the start of that line.
        while (IsSpace(c)) {
            if (c == '\n')
                lineStart = true;
            c = in.Getc();
        }
        if (c == '=' && *k == '\0')
            return true;

        if (c == EOF || !in.Gets(rest))
            return false;
        if (c == '[' && lineStart) {
            if (own)
                return false;
            if (IsServerName(rest, ']'))
                skipping = true;
        }
    }
}

// The rest of the key's line, less one line end and the leading blanks;
// false when the source ends right after the "=".
template <class Source>
bool ReadValue(Source& in, std::string& result)
{
    char piece[kPieceSize];
    if (!in.Gets(piece))
        return false;
    std::string value = piece;
    // One line end comes off; a CR before it is part of that line end
    // (the native build reads CR LF files without text-mode help).
    if (!value.empty() && value.back() == '\n') {
        value.pop_back();
        if (!value.empty() && value.back() == '\r')
            value.pop_back();
    }
    size_t start = 0;
    while (start < value.size() && IsSpace(static_cast<unsigned char>(value[start])))
        ++start;
    result = value.substr(start);
    return true;
}

// Reads a decimal integer the way "%d" does (blanks and line ends skipped,
// optional sign, digits up to the first other character), but refuses a
// number that does not fit into 32 bits instead of overflowing.
template <class Source>
bool ScanInt(Source& in, int& value)
{
    int c = in.Getc();
    while (IsSpace(c))
        c = in.Getc();
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = in.Getc();
    }
    if (!isdigit(c))
        return false;
    long long number = 0;
    bool fits = true;
    for (; c != EOF && isdigit(c); c = in.Getc()) {
        number = number * 10 + (c - '0');
        if (number > static_cast<long long>(INT_MAX) + 1) {
            fits = false;
            number = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative)
        number = -number;
    if (!fits || number > INT_MAX || number < INT_MIN)
        return false;
    value = static_cast<int>(number);
    return true;
}

}  // namespace

CINIFile::CINIFile(const char* path) : m_strPath(path ? path : "")
{
}

CINIFile::~CINIFile()
{
}

CINIFile CINIFile::FromText(std::string text)
{
    CINIFile ini("");
    ini.m_bText = true;
    ini.m_strText = std::move(text);
    return ini;
}

FILE* CINIFile::FindSection(const char* section)
{
    if (m_bText)
        return nullptr;
    // Opened for update although only read: a read-only settings file counts
    // as missing, as it does in the start-up check.
    // It holds the password: never handed to a program started meanwhile.
    FILE* file = cvn::OpenOwnFile(m_strPath.c_str(), "r+");
    if (!file) {
        CDebug::Trace(CDebug::TraceError, "Failed to load ini %s\n", m_strPath.c_str());
        return nullptr;
    }
    CFileSource in(file);
    if (SeekSection(in, section))
        return file;
    fclose(file);
    return nullptr;
}

FILE* CINIFile::FindKey(const char* section, const char* key)
{
    FILE* file = FindSection(section);
    if (!file)
        return nullptr;
    CFileSource in(file);
    if (SeekKey(in, section, key))
        return file;
    fclose(file);
    return nullptr;
}

std::string CINIFile::GetString(const char* section, const char* key, const char* def)
{
    std::string result = def ? def : "";
    if (m_bText) {
        CTextSource in(m_strText);
        if (SeekSection(in, section) && SeekKey(in, section, key))
            ReadValue(in, result);
        return result;
    }
    FILE* file = FindKey(section, key);
    if (!file)
        return result;
    CFileSource in(file);
    ReadValue(in, result);
    fclose(file);
    return result;
}

int CINIFile::GetInt(const char* section, const char* key, int def)
{
    int value = def;
    if (m_bText) {
        CTextSource in(m_strText);
        if (!SeekSection(in, section) || !SeekKey(in, section, key) || !ScanInt(in, value))
            value = def;
        return value;
    }
    FILE* file = FindKey(section, key);
    if (!file)
        return def;
    CFileSource in(file);
    if (!ScanInt(in, value))
        value = def;
    fclose(file);
    return value;
}

bool cvn::IsServerSection(const char* name)
{
    return name && IsServerName(name, '\0');
}
