#include "support/capture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#define getpid _getpid
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace cvntest {

namespace {

std::string UniqueName(const char* stem)
{
    static unsigned counter = 0;
    std::ostringstream name;
    name << stem << '-' << getpid() << '-' << ++counter;
    return name.str();
}

}  // namespace

StderrCapture::StderrCapture()
{
    m_path = (fs::temp_directory_path() / UniqueName("cvn-stderr")).string();
    fflush(stderr);
    FILE* file = fopen(m_path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + m_path);
    m_saved = dup(2);
    dup2(fileno(file), 2);
    fclose(file);
}

StderrCapture::~StderrCapture()
{
    Finish();
}

std::string StderrCapture::Finish()
{
    if (!m_done) {
        m_done = true;
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_text = ReadFile(m_path);
        std::error_code ignored;
        fs::remove(m_path, ignored);
    }
    return m_text;
}

TempDir::TempDir()
{
    // Only a folder made here: under Wine a program started in a fresh
    // session gets the process id of one before it, whose folders may have
    // stayed (a file still in use cannot be removed).
    do {
        m_path = (fs::temp_directory_path() / UniqueName("cvn-test")).string();
    } while (!fs::create_directory(m_path));
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::string TempDir::File(const std::string& name) const
{
    return (fs::path(m_path) / name).string();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Lines(const std::string& text)
{
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (text.compare(i, 2, "\r\n") == 0 || text.compare(i, 3, "\r\r\n") == 0))
            continue;
        lines += text[i];
    }
    return lines;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

}  // namespace cvntest
