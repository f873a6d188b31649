// The settings reader. Its matching rules are those the settings files in
// the field were written against, quirks included: keys are searched on
// through later sections, the blank skip after a key runs across line ends,
// and lines are read in pieces of 255 characters.
#include "ini_file.h"

#include <cctype>
#include <climits>

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

// One piece of a line, line end included when it fits; false at the end of
// the file.
bool ReadPiece(FILE* file, char (&piece)[kPieceSize])
{
    return fgets(piece, kPieceSize, file) != nullptr;
}

// Reads a decimal integer the way "%d" does (blanks and line ends skipped,
// optional sign, digits up to the first other character), but refuses a
// number that does not fit into 32 bits instead of overflowing.
bool ScanInt(FILE* file, int& value)
{
    int c = fgetc(file);
    while (IsSpace(c))
        c = fgetc(file);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = fgetc(file);
    }
    if (!isdigit(c))
        return false;
    long long number = 0;
    bool fits = true;
    for (; c != EOF && isdigit(c); c = fgetc(file)) {
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

FILE* CINIFile::FindSection(const char* section)
{
    // Opened for update although only read: a read-only settings file counts
    // as missing, as it does in the start-up check.
    // It holds the password: never handed to a program started meanwhile.
    FILE* file = cvn::OpenOwnFile(m_strPath.c_str(), "r+");
    if (!file) {
        CDebug::Trace(CDebug::TraceError, "Failed to load ini %s\n", m_strPath.c_str());
        return nullptr;
    }

    char line[kPieceSize];
    while (ReadPiece(file, line)) {
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
            return file;
    }
    fclose(file);
    return nullptr;
}

FILE* CINIFile::FindKey(const char* section, const char* key)
{
    FILE* file = FindSection(section);
    if (!file)
        return nullptr;

    for (;;) {
        int c = fgetc(file);
        while (c == '\r' || c == '\n')
            c = fgetc(file);

        const char* k = key;
        while (*k && c != EOF && Upper(c) == Upper(*k)) {
            ++k;
            c = fgetc(file);
        }
        // The skip goes on across line ends: a line of blanks just before a
        // key's line swallows the start of that line.
        while (IsSpace(c))
            c = fgetc(file);
        if (c == '=' && *k == '\0')
            return file;

        char rest[kPieceSize];
        if (c == EOF || !ReadPiece(file, rest)) {
            fclose(file);
            return nullptr;
        }
    }
}

std::string CINIFile::GetString(const char* section, const char* key, const char* def)
{
    std::string result = def ? def : "";
    FILE* file = FindKey(section, key);
    if (!file)
        return result;

    char piece[kPieceSize];
    if (ReadPiece(file, piece)) {
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
    }
    fclose(file);
    return result;
}

int CINIFile::GetInt(const char* section, const char* key, int def)
{
    FILE* file = FindKey(section, key);
    if (!file)
        return def;
    int value = def;
    if (!ScanInt(file, value))
        value = def;
    fclose(file);
    return value;
}
