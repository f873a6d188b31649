// Windows only: the texts through FormatMessageA from the program's message
// table and the system's, the Event Log, standard error in binary mode.
#include "exception.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "message_format.h"
#include "platform.h"

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FROM_HMODULE | FROM_SYSTEM: the program's
// own catalogue first (null module), then the system's table.
const DWORD kLookUpFlags = 0x1900;
// ... with the inserts as an argument array.
const DWORD kFormatFlags = kLookUpFlags | FORMAT_MESSAGE_ARGUMENT_ARRAY;

// The buffer that FormatMessageA allocates.
class CLocalText {
public:
    CLocalText() = default;
    ~CLocalText()
    {
        if (m_pszText)
            LocalFree(m_pszText);
    }
    CLocalText(const CLocalText&) = delete;
    CLocalText& operator=(const CLocalText&) = delete;
    LPSTR Receiver() { return reinterpret_cast<LPSTR>(&m_pszText); }
    const char* Text() const { return m_pszText; }

private:
    char* m_pszText = nullptr;
};

// The stored text of a message, its inserts not filled in.
bool LookUp(DWORD messageId, DWORD language, std::string& text)
{
    CLocalText buffer;
    DWORD length = FormatMessageA(kLookUpFlags | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, messageId,
                                  language, buffer.Receiver(), 0, nullptr);
    if (length == 0)
        return false;
    text.assign(buffer.Text(), length);
    return true;
}

}  // namespace

CCVNException::CCVNException()
    : m_wInsertCount(0), m_ppszInserts(nullptr), m_dwMessageId(GetLastError())
{
}

void CCVNException::GetMessage(std::string& text)
{
    // The catalogue exists in English (United States) only: where the
    // user's language has no text, the system's own order of languages
    // finds it.
    DWORD language = LANG_USER_DEFAULT;
    std::string stored;
    if (!LookUp(m_dwMessageId, language, stored)) {
        if (GetLastError() != ERROR_RESOURCE_LANG_NOT_FOUND || !LookUp(m_dwMessageId, language = 0, stored)) {
            text = "Unknown Error";
            return;
        }
    }
    // FormatMessageA reads as many inserts as the text names, whatever the
    // array holds; a system text may name one that we do not carry.
    if (cvn::HighestInsert(stored.c_str()) <= m_wInsertCount) {
        CLocalText buffer;
        DWORD length = FormatMessageA(kFormatFlags, nullptr, m_dwMessageId, language, buffer.Receiver(), 0,
                                      m_wInsertCount > 0 ? reinterpret_cast<va_list*>(m_ppszInserts) : nullptr);
        if (length != 0) {
            text.assign(buffer.Text(), length);
            return;
        }
        // The system's result is limited in size; a long insert is not a
        // reason to lose the report.
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            text = "Unknown Error";
            return;
        }
    }
    if (!cvn::FormatMessageText(stored.c_str(), m_ppszInserts, m_wInsertCount, text))
        text = "Unknown Error";
}

void CCVNException::ReportToEventLog()
{
    HANDLE source = RegisterEventSourceA(nullptr, cvn::kServiceName);
    if (!source)
        return;
    // The Event Log renders the text itself, from the catalogue that the
    // event source's registration names and these inserts.
    ReportEventA(source, cvn::EventTypeOf(m_dwMessageId), 0, m_dwMessageId, nullptr, m_wInsertCount, 0,
                 const_cast<LPCSTR*>(m_ppszInserts), nullptr);
    DeregisterEventSource(source);
}

void CCVNException::ReportToConsole()
{
    std::string text;
    GetMessage(text);
    // The texts bring their own CR LF; in the C runtime's text mode every
    // LF would gain another CR.
    std::fflush(stderr);
    int fd = _fileno(stderr);
    int mode = fd >= 0 ? _setmode(fd, _O_BINARY) : -1;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    if (mode != -1)
        _setmode(fd, mode);
}
