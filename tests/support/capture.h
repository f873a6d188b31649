// Captures what the process writes to its standard error (file descriptor 2)
// while the object lives, through a temporary file.
#ifndef CVN_TESTS_CAPTURE_H
#define CVN_TESTS_CAPTURE_H

#include <string>

namespace cvntest {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    // Ends the capture (once) and returns everything written meanwhile.
    std::string Finish();

private:
    int m_saved = -1;
    std::string m_path;
    std::string m_text;
    bool m_done = false;
};

// A fresh, empty temporary directory, removed with its files at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    // Path of a file inside the directory, with the platform's separator.
    std::string File(const std::string& name) const;

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
// Reads a file written in text mode: on Windows its CR LF become LF.
std::string ReadText(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Line ends as a reader sees them: CR LF (and the CR CR LF of "\r\n"
// written to a text-mode stream) become LF.
std::string Lines(const std::string& text);
// How often what occurs in text.
size_t Count(const std::string& text, const std::string& what);

}  // namespace cvntest

#endif
