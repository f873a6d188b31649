// Reader of the settings file. A reader on the file keeps nothing in memory:
// every value is read by opening the file, searching it from the top and
// closing it, so an edit takes effect at the next read. A reader on text
// searches a copy of the file taken once (the monitor's settings snapshot)
// by the very same rules.
#ifndef CVN_INI_FILE_H
#define CVN_INI_FILE_H

#include <cstdio>
#include <string>

class CINIFile {
public:
    explicit CINIFile(const char* path);
    virtual ~CINIFile();

    // A reader on the given text instead of the file: nothing is opened,
    // nothing is traced.
    static CINIFile FromText(std::string text);

    std::string GetString(const char* section, const char* key, const char* def);
    int GetInt(const char* section, const char* key, int def);

    // The open file, positioned after the section's header line / after the
    // "=" of the key's line; the caller closes it. Null when not found, and
    // always null for a reader on text.
    FILE* FindSection(const char* section);
    FILE* FindKey(const char* section, const char* key);

private:
    std::string m_strPath;
    bool m_bText = false;
    std::string m_strText;
};

namespace cvn {

// "Server 2" and the like: the name of a further server's section, whose
// keys are read within that section alone.
bool IsServerSection(const char* name);

}  // namespace cvn

#endif
