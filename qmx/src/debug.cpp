// The trace channel: level filter, prefixes, output stream and console echo,
// the hex dump and the formatter with its overrun report.
#include "qmx/debug.h"

#include <cctype>
#include <cstring>
#include <string>

namespace qmx {

CDebug::TraceLevel CDebug::m_LevelTrace = CDebug::TraceDetail;
FILE* CDebug::m_StandardOutput = stderr;
bool CDebug::m_bDebugConsole = false;

namespace {

// Defined after the static members above, so that it is constructed after
// them and destroyed when the library is unloaded: that is what closes a
// trace file the program handed over.
CDebug theDebug;

const char* Prefix(CDebug::TraceLevel level)
{
    switch (level) {
    case 0: return "T0:";
    case 1: return "T1:";
    case 2: return "T2:";
    case 3: return "T3:";
    default: return "";
    }
}

bool IsStandardStream(FILE* stream)
{
    return stream == stdout || stream == stderr;
}

void WriteLine(FILE* stream, const std::string& line)
{
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
}

}  // namespace

CDebug::CDebug()
{
}

CDebug::~CDebug()
{
    ClearOutput();
}

CDebug& CDebug::operator=(const CDebug&)
{
    return *this;
}

void CDebug::Trace(TraceLevel level, const char* format, ...)
{
    if (m_LevelTrace < level)
        return;

    char message[1024];
    memset(message, 0, sizeof message);
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    message[sizeof message - 1] = '\0';

    // Written literally: a "%" in the message stays a "%".
    std::string line = Prefix(level);
    line += message;

    FILE* output = m_StandardOutput;
    if (output)
        WriteLine(output, line);
    if (m_bDebugConsole && !IsStandardStream(output))
        WriteLine(stderr, line);
}

void CDebug::Output(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VOutput(format, args);
    va_end(args);
}

void CDebug::VOutput(const char* format, va_list args)
{
    if (m_StandardOutput)
        VOutput(m_StandardOutput, format, args);
}

void CDebug::VOutput(FILE* stream, const char* format, va_list args)
{
    vfprintf(stream, format, args);
    fflush(stream);
}

void CDebug::OutputHex(const void* data, unsigned int length)
{
    if (length == 0 || !m_StandardOutput)
        return;

    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    // Columns of the standard layout: offset in 0-6, a blank, byte k in hex
    // at 8 + 3k + k/4, its character at 60 + k. Offsets of 16 MiB and more
    // need more than six digits; the rest of the line then moves right by
    // as many columns.
    std::string line;
    size_t shift = 0;
    for (unsigned int i = 0; i < length; ++i) {
        const unsigned int k = i % 16;
        if (k == 0) {
            char offset[16];
            int digits = snprintf(offset, sizeof offset, "%06X:", i) - 1;
            shift = digits > 6 ? static_cast<size_t>(digits - 6) : 0;
            line.assign(76 + shift, ' ');
            line.replace(0, static_cast<size_t>(digits) + 1, offset);
        }
        static const char hex[] = "0123456789ABCDEF";
        const size_t column = shift + 8 + 3 * k + k / 4;
        line[column] = hex[bytes[i] >> 4];
        line[column + 1] = hex[bytes[i] & 0x0F];
        line[shift + 60 + k] = isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';

        if (k == 15 || i + 1 == length) {
            Output("%s\n", line.substr(0, shift + 60 + k + 1).c_str());
        }
    }
}

void CDebug::ClearOutput()
{
    fflush(m_StandardOutput);
    if (m_StandardOutput && !IsStandardStream(m_StandardOutput)) {
        fclose(m_StandardOutput);
        m_StandardOutput = nullptr;
    }
}

void CDebug::SetDefaultOutput(FILE* stream)
{
    ClearOutput();
    m_StandardOutput = stream;
}

void CDebug::SetConsoleOutput(bool on)
{
    m_bDebugConsole = on;
}

void CDebug::SetTraceLevel(TraceLevel level)
{
    m_LevelTrace = level;
}

CDebug::TraceLevel CDebug::GetTraceLevel()
{
    return m_LevelTrace;
}

int sprintf(char* buffer, int size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (buffer && size > 0)
        vsnprintf(buffer, static_cast<size_t>(size), format, args);
    va_end(args);

    if (length > size)
        CDebug::Output("sprintf overrun, buffer = %d, size = %d\n", size, length);
    return length;
}

}  // namespace qmx
