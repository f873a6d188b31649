// The process-wide trace channel of the support library, and its formatter.
#ifndef QMX_DEBUG_H
#define QMX_DEBUG_H

#include <cstdarg>
#include <cstdio>

#include "qmx/export.h"

namespace qmx {

// All state and operations are static: the channel exists once per process,
// inside the library. An object of the class only matters for its
// destructor, which closes a trace file.
class QMX_API CDebug {
public:
    // Any other value is accepted too; it is written without prefix.
    enum TraceLevel : int {
        TraceCritical = 0,
        TraceError = 1,
        TraceInfo = 2,
        TraceDetail = 3,
    };

    CDebug();
    ~CDebug();
    CDebug& operator=(const CDebug&);

    // Writes the message when level is at or below the current level, with
    // the prefix "T<level>:" and nothing else; the format brings its own
    // line end. Messages longer than 1023 characters are cut.
    static void Trace(TraceLevel level, const char* format, ...) QMX_PRINTF(2, 3);
    static void Output(const char* format, ...) QMX_PRINTF(1, 2);
    static void VOutput(const char* format, va_list args);
    static void VOutput(FILE* stream, const char* format, va_list args);
    // Offset, hex and character dump, 16 bytes a line.
    static void OutputHex(const void* data, unsigned int length);
    // Flushes the output; a file is closed and the output switched off.
    static void ClearOutput();
    // The stream passes to the channel, which closes it when it is replaced,
    // cleared or when the library is unloaded. Null switches output off.
    static void SetDefaultOutput(FILE* stream);
    // Echo of trace lines to standard error when the output is not a
    // standard stream.
    static void SetConsoleOutput(bool on);
    static void SetTraceLevel(TraceLevel level);
    static TraceLevel GetTraceLevel();

private:
    static TraceLevel m_LevelTrace;
    static FILE* m_StandardOutput;
    static bool m_bDebugConsole;
};

// Formats into buffer, writing at most size bytes (the result is cut and
// terminated inside the buffer), reports a result longer than size through
// CDebug::Output and returns the full length of the result.
QMX_API int sprintf(char* buffer, int size, const char* format, ...) QMX_PRINTF(3, 4);

}  // namespace qmx

#endif
