// The session with the UPS management server: connect, greeting, login,
// subscription to updates, and the two queries whose answers the monitor
// reads as its first lines.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include <qmx/debug.h>

#include "app.h"
#include "exception.h"
#include "ini_file.h"
#include "net.h"
#include "resolver.h"
#include "server_address.h"
#include "servers.h"
#include "settings_snapshot.h"
#include "stop_request.h"
#include "sync.h"
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

// A fault of the address itself is told once per run and address: every
// attempt would otherwise repeat it, and the failed connection is reported
// at each attempt anyway.
void ReportOnce(std::uint32_t message, const std::string& address)
{
    static cvn::CLock lock;
    static std::set<std::pair<std::uint32_t, std::string>> told;
    {
        std::lock_guard<cvn::CLock> hold(lock);
        if (!told.insert(std::make_pair(message, address)).second)
            return;
    }
    CCVNException(message, 1, address.c_str()).Report();
}

// The addresses of the server as written: a literal as it stands, a name
// by its server's look-up, within the budget.
bool FindAddresses(const std::string& server, const std::string& address, const CWaitBudget& budget,
                   cvn::CNetAddresses* targets)
{
    const cvn::CServerAddress parsed = cvn::ParseServerAddress(address);
    switch (parsed.kind) {
    case cvn::AddressKind::WithPort:
        ReportOnce(MSG_ADDRESS_WITH_PORT, address);
        return false;
    case cvn::AddressKind::Malformed:
        ReportOnce(MSG_ADDRESS_MALFORMED, address);
        return false;
    case cvn::AddressKind::Name:
        return cvn::ResolveHostWithin(server, parsed.host.c_str(), targets, budget.NextWait(), budget.Stop()) ==
               cvn::Lookup::Found;
    case cvn::AddressKind::IPv4:
    case cvn::AddressKind::IPv6:
        break;
    }
    switch (cvn::NetLiteralAddress(parsed, targets)) {
    case cvn::NetLiteral::Found:
        return true;
    case cvn::NetLiteral::Invalid:
        ReportOnce(MSG_ADDRESS_MALFORMED, address);
        return false;
    case cvn::NetLiteral::ZoneNotNumber:
        ReportOnce(MSG_ZONE_NOT_NUMBER, address);
        return false;
    case cvn::NetLiteral::NotSupported:
        ReportOnce(MSG_IPV6_NOT_SUPPORTED, address);
        return false;
    case cvn::NetLiteral::NoIPv6:
        ReportOnce(MSG_IPV6_NOT_INSTALLED, address);
        return false;
    }
    return false;
}

// Every address in the order given, within the one wait of the connect: each
// has an equal share of what is left, so that one that never answers leaves
// time for the next, and one that refuses costs nothing. The socket of the
// connection made, or -1.
int ConnectToAny(const cvn::CNetAddresses& targets, const std::string& address, std::uint16_t port,
                 const CWaitBudget& budget, const std::string& tag)
{
    const cvn::CWaitTime time(budget.NextWait());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::string text = cvn::NetAddressText(targets[i], port);
        CDebug::Trace(CDebug::TraceDetail, "%sCONNECT:%s\n", tag.c_str(), text.c_str());
        bool noFamily = false;
        CAttemptSocket socket(cvn::NetOpenStream(targets[i].v6, &noFamily));
        if (socket.Get() == -1) {
            if (noFamily && targets[i].v6)
                ReportOnce(MSG_IPV6_NOT_INSTALLED, address);
            continue;
        }
        const unsigned long share = time.Left() / static_cast<unsigned long>(targets.size() - i);
        if (cvn::NetConnect(socket.Get(), targets[i], port, share, budget.Stop())) {
            CDebug::Trace(CDebug::TraceDetail, "%sCONNECTED:%s\n", tag.c_str(), text.c_str());
            return socket.Release();
        }
        if (budget.Stop() && budget.Stop()->Raised())
            break;
    }
    return -1;
}

int OpenSession(const cvn::CSessionRequest& request, const CWaitBudget& budget)
{
    const std::string& tag = request.traceTag;

    const cvn::CServerEntry server = request.Server();
    const std::string& address = server.address;
    // The caller checked the address before the call, but the file may have
    // changed since; an empty name would resolve to this very computer.
    if (address.empty())
        return -1;
    cvn::CNetAddresses targets;
    if (!FindAddresses(request.section, address, budget, &targets))
        return -1;
    CAttemptSocket socket(ConnectToAny(targets, address, server.port, budget, tag));
    if (socket.Get() == -1)
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
