// Reader of the settings file. Nothing is kept in memory: every value is
// read by opening the file, searching it from the top and closing it, so an
// edit takes effect at the next read.
#ifndef CVN_INI_FILE_H
#define CVN_INI_FILE_H

#include <cstdio>
#include <string>

class CINIFile {
public:
    explicit CINIFile(const char* path);
    virtual ~CINIFile();

    std::string GetString(const char* section, const char* key, const char* def);
    int GetInt(const char* section, const char* key, int def);

    // The open file, positioned after the section's header line / after the
    // "=" of the key's line; the caller closes it. Null when not found.
    FILE* FindSection(const char* section);
    FILE* FindKey(const char* section, const char* key);

private:
    std::string m_strPath;
};

#endif
