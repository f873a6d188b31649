#include "exception.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app.h"

namespace {

// A heap copy that free() releases, as the destructor expects. A null
// pointer is copied as the text the system's formatter shows for it.
char* CopyInsert(const char* text)
{
    if (!text)
        text = "(null)";
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

}  // namespace

CCVNException::CCVNException(std::uint32_t messageId, std::uint16_t insertCount, ...)
    : m_wInsertCount(0), m_ppszInserts(nullptr), m_dwMessageId(messageId)
{
    if (insertCount == 0)
        return;
    // Out of memory keeps the inserts copied so far: an error report must
    // not fail in turn, and the texts leave references to missing inserts
    // as they stand.
    m_ppszInserts = new (std::nothrow) char*[insertCount];
    if (!m_ppszInserts)
        return;
    va_list args;
    va_start(args, insertCount);
    for (std::uint16_t i = 0; i < insertCount; ++i) {
        char* copy = CopyInsert(va_arg(args, const char*));
        if (!copy)
            break;
        m_ppszInserts[m_wInsertCount++] = copy;
    }
    va_end(args);
}

CCVNException::~CCVNException()
{
    for (std::uint16_t i = 0; i < m_wInsertCount; ++i)
        std::free(m_ppszInserts[i]);
    delete[] m_ppszInserts;
}

void CCVNException::Report()
{
    if (g_bRunningAsService)
        ReportToEventLog();
    else
        ReportToConsole();
}
