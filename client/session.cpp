// The session with the UPS management server: connect, greeting, login,
// subscription to updates, and the two queries whose answers the monitor
// reads as its first lines.
#include <algorithm>
#include <cctype>
#include <string>

#include <qmx/debug.h>

#include "app.h"
#include "exception.h"
#include "ini_file.h"
#include "net.h"
#include "resolver.h"
#include "servers.h"
#include "settings_snapshot.h"
#include "stop_request.h"
#include "ups_session.h"

using qmx::CDebug;

namespace {

// The longest that one wait of an attempt may last: the connect and each of
// the three replies.
const unsigned long kWaitMs = 10000;
// A reply is what one receive of at most this many bytes delivers.
const int kReceiveSize = 200;

const char kGreetingText[] = "successfully connected";
const char kSubscribe[] = "SetAutoUpdate(1)\r\n";
const char kSubscribeAnswer[] = "SetAutoUpdate(1)=0\r\n";
const char kQueryOutput[] = "GetValue(Output Source)\r\n";
const char kQueryBattery[] = "GetValue(Battery Status)\r\n";

// The socket of an attempt. It is closed exactly once, when the attempt
// fails, unless it was handed over to the caller.
class CAttemptSocket {
public:
    explicit CAttemptSocket(int socket) : m_nSocket(socket) {}
    ~CAttemptSocket()
    {
        if (m_nSocket != -1)
            cvn::NetClose(m_nSocket);
    }
    CAttemptSocket(const CAttemptSocket&) = delete;
    CAttemptSocket& operator=(const CAttemptSocket&) = delete;

    int Get() const { return m_nSocket; }
    int Release()
    {
        int socket = m_nSocket;
        m_nSocket = -1;
        return socket;
    }

private:
    int m_nSocket;
};

// What the waits of an attempt may still take. Without a budget every wait
// (the name's look-up, the connect, each reply) has its full 10 seconds;
// with one, the waits together end within it, so that a stalling server or
// name server cannot hold a countdown past its deadline. A stop request
// ends every wait.
class CWaitBudget {
public:
    explicit CWaitBudget(const cvn::CStopRequest* stop) : m_bLimited(false), m_time(0), m_pStop(stop) {}
    CWaitBudget(unsigned long budgetMs, const cvn::CStopRequest* stop)
        : m_bLimited(true), m_time(budgetMs), m_pStop(stop)
    {
    }

    const cvn::CStopRequest* Stop() const { return m_pStop; }

    unsigned long NextWait() const
    {
        return m_bLimited ? std::min(m_time.Left(), kWaitMs) : kWaitMs;
    }

private:
    bool m_bLimited;
    cvn::CWaitTime m_time;
    const cvn::CStopRequest* m_pStop;
};

// One wait for a reply and one receive: the bytes of that receive, which
// may hold NUL bytes. False when the wait fails or runs out, or the server
// closed the connection or the receive failed.
bool ReceiveReply(int socket, const CWaitBudget& budget, std::string* reply)
{
    if (cvn::NetWaitReadable(socket, budget.NextWait(), budget.Stop()) <= 0)
        return false;
    char buffer[kReceiveSize];
    int received = cvn::NetReceive(socket, buffer, kReceiveSize);
    if (received <= 0)
        return false;
    reply->assign(buffer, static_cast<std::size_t>(received));
    return true;
}

// The reply holds the expected text anywhere, NUL bytes included.
bool Contains(const std::string& reply, const std::string& expected)
{
    return reply.find(expected) != std::string::npos;
}

bool SendLine(int socket, const std::string& line)
{
    return cvn::NetSend(socket, line.data(), static_cast<int>(line.size())) ==
           static_cast<int>(line.size());
}

int OpenSession(const cvn::CSessionRequest& request, const CWaitBudget& budget)
{
    const std::string& tag = request.traceTag;

    CAttemptSocket socket(cvn::NetOpenStream());
    if (socket.Get() == -1)
        return -1;

    const cvn::CServerEntry server = request.Server();
    const std::string& address = server.address;
    // The caller checked the address before the call, but the file may have
    // changed since; an empty name would resolve to this very computer.
    if (address.empty())
        return -1;
    // A dotted address is never looked up.
    std::uint32_t target;
    if (std::isdigit(static_cast<unsigned char>(address[0])))
        target = cvn::NetParseAddress(address.c_str());
    else if (cvn::ResolveHostWithin(address.c_str(), &target, budget.NextWait(), budget.Stop()) !=
             cvn::Lookup::Found)
        return -1;
    if (!cvn::NetConnect(socket.Get(), target, server.port, budget.NextWait(), budget.Stop()))
        return -1;

    std::string reply;
    if (!ReceiveReply(socket.Get(), budget, &reply) || !Contains(reply, kGreetingText))
        return -1;

    // Read only now, so that the greeting is awaited with the values of the
    // moment of the login.
    const cvn::CServerEntry login = request.Server();
    std::string credentials = login.user + ", " + login.password;
    // The trace file may be readable by anyone who can read the program's
    // folder: the password stays out of it.
    CDebug::Trace(CDebug::TraceDetail, "%sSEND:%s\n", tag.c_str(), ("Login(" + login.user + ", ****)\r\n").c_str());
    if (!SendLine(socket.Get(), "Login(" + credentials + ")\r\n"))
        return -1;

    // Only an answer that lacks the expected line is a refused login; a
    // closed connection or a silent server fails without a report.
    if (!ReceiveReply(socket.Get(), budget, &reply))
        return -1;
    if (!Contains(reply, "Login(" + credentials + ")=0\r\n")) {
        if (request.named)
            CCVNException(MSG_LOGIN_FAILED_AT, 1, cvn::ServerName(login).c_str()).Report();
        else
            CCVNException(MSG_LOGIN_FAILED, 0).Report();
        return -1;
    }

    CDebug::Trace(CDebug::TraceDetail, "%sSEND:SetAutoUpdate(1)\n", tag.c_str());
    if (!SendLine(socket.Get(), kSubscribe))
        return -1;
    if (!ReceiveReply(socket.Get(), budget, &reply) || !Contains(reply, kSubscribeAnswer))
        return -1;

    // The answers are not awaited: they are the monitor's first lines.
    CDebug::Trace(CDebug::TraceDetail, "%sSEND:GetValue(Output Source)\n", tag.c_str());
    if (!SendLine(socket.Get(), kQueryOutput))
        return -1;
    CDebug::Trace(CDebug::TraceDetail, "%sSEND:GetValue(Battery Status)\n", tag.c_str());
    if (!SendLine(socket.Get(), kQueryBattery))
        return -1;

    return socket.Release();
}

}  // namespace

cvn::CServerEntry cvn::CSessionRequest::Server() const
{
    if (settings)
        return settings->Server(section);
    CINIFile ini(iniFile.c_str());
    return ReadServer(ini, section);
}

int cvn::OpenUpsSession(const CSessionRequest& request)
{
    return request.limited ? OpenSession(request, CWaitBudget(request.budgetMs, request.stop))
                           : OpenSession(request, CWaitBudget(request.stop));
}

int CCVNRemoteApp::ConnectToServer()
{
    cvn::CSessionRequest request = cvn::CSessionRequest::First(m_strIniFile, &m_StopRequest);
    request.settings = m_pSettings;
    return cvn::OpenUpsSession(request);
}

int CCVNRemoteApp::ConnectToServer(unsigned long budgetMs)
{
    cvn::CSessionRequest request = cvn::CSessionRequest::First(m_strIniFile, &m_StopRequest);
    request.settings = m_pSettings;
    request.limited = true;
    request.budgetMs = budgetMs;
    return cvn::OpenUpsSession(request);
}
