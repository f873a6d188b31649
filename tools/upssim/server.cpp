// The simulator's server thread: listener, connections, protocol, scenario.
#include "upssim/server.h"

#include <algorithm>
#include <cstdio>

namespace upssim {

namespace {

const char kPhrase[] = "successfully connected";
// The pause between the two parts of a split line: long enough that the
// client's receive sees the first part alone.
const long kSplitGapMs = 300;
// Longer than the client's session buffer (200) and its monitor buffer (1000).
const std::size_t kLongLine = 1500;
const char kJunk[] = "\x1b[junk\x01\x7f\xfe\xff\0after NUL]\r\n";
// Bytes of one client line kept while waiting for its end; a client that
// sends more without a line end loses the excess, not the simulator its memory.
const std::size_t kLongestClientLine = 65536;
const long kIdlePollMs = 500;

std::string Seconds(long ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "[%8.3f]", ms / 1000.0);
    return text;
}

}  // namespace

CServer::CServer(const Options& options) : m_options(options) {}

CServer::~CServer()
{
    Stop();
}

void CServer::SetEventSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard<Mutex> lock(m_mutex);
    m_sink = std::move(sink);
}

bool CServer::Start(std::string* error)
{
    std::lock_guard<Mutex> lock(m_mutex);
    if (m_bStarted)
        return true;
    if (!net::Startup()) {
        if (error)
            *error = "the socket library did not start";
        return false;
    }
    m_start = std::chrono::steady_clock::now();
    m_waker = net::OpenWaker();
    std::string reason;
    // Bound even when refusing from the start, so that the port is known.
    const auto fail = [&](const std::string& where) {
        if (error)
            *error = "cannot listen on " + where + ": " + reason;
        net::Close(m_waker);
        net::Close(m_listener);
        m_waker = m_listener = net::kInvalid;
        net::Cleanup();
        return false;
    };
    m_listener = net::Listen(m_options.port, 16, &reason);
    if (m_waker == net::kInvalid || m_listener == net::kInvalid)
        return fail("127.0.0.1:" + std::to_string(m_options.port));
    m_port = net::LocalPort(m_listener);
    if (m_options.ipv6) {
        // The same port on ::1, so that one settings file reaches both.
        m_listener6 = net::Listen(m_port, 16, &reason, true);
        if (m_listener6 == net::kInvalid)
            return fail("[::1]:" + std::to_string(m_port));
    }
    m_listening = Listening::Normal;
    m_bStarted = true;
    m_bQuit = false;
    Event("listening on 127.0.0.1:" + std::to_string(m_port) +
          (m_options.ipv6 ? " and [::1]:" + std::to_string(m_port) : std::string()) + ", user \"" + m_options.user +
          "\", output source \"" + m_options.output + "\", battery status \"" +
          m_options.battery + "\"");
    UpdateListener();
    m_thread = Thread([this] { Loop(); });
    return true;
}

void CServer::Stop()
{
    {
        std::lock_guard<Mutex> lock(m_mutex);
        if (!m_bStarted)
            return;
        m_bQuit = true;
        Wake();
    }
    m_thread.join();
    std::lock_guard<Mutex> lock(m_mutex);
    for (auto& c : m_conns) {
        if (c->info.open)
            CloseConn(*c, "the simulator stops", false);
    }
    CloseListeners();
    net::Close(m_waker);
    m_waker = net::kInvalid;
    m_listening = Listening::None;
    m_bStarted = false;
    net::Cleanup();
    m_changed.notify_all();
}

std::uint16_t CServer::Port() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_port;
}

long CServer::Now() const
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - m_start)
                                 .count());
}

void CServer::Event(const std::string& text)
{
    std::string line = Seconds(Now()) + " " + text;
    m_events.push_back(line);
    if (m_sink)
        m_sink(line);
}

void CServer::EventOf(const Conn& c, const std::string& text)
{
    Event("#" + std::to_string(c.info.id) + " " + text);
}

void CServer::Wake()
{
    if (m_waker != net::kInvalid)
        net::Wake(m_waker);
    m_changed.notify_all();
}

// ---- values, faults and actions, from any thread ----

void CServer::ChangeValue(std::string* value, const char* name, const std::string& to)
{
    if (*value == to) {
        Event(std::string(name) + " stays " + Quote(to) + ": nothing sent");
        return;
    }
    Event(std::string(name) + ": " + Quote(*value) + " -> " + Quote(to));
    *value = to;
    std::string prefix = std::string(name == std::string("output source") ? "Output Source"
                                                                          : "Battery Status") +
                         "={{";
    for (auto& c : m_conns) {
        if (c->info.open && c->info.subscribed && !Has(Fault::Silent))
            QueueLine(*c, prefix + to + "}}\r\n", prefix.size());
    }
}

void CServer::SetOutput(const std::string& value)
{
    std::lock_guard<Mutex> lock(m_mutex);
    ChangeValue(&m_options.output, "output source", value);
    Wake();
}

void CServer::SetBattery(const std::string& value)
{
    std::lock_guard<Mutex> lock(m_mutex);
    ChangeValue(&m_options.battery, "battery status", value);
    Wake();
}

std::string CServer::Output() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_options.output;
}

std::string CServer::Battery() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_options.battery;
}

void CServer::SetCredentials(const std::string& user, const std::string& password)
{
    std::lock_guard<Mutex> lock(m_mutex);
    m_options.user = user;
    m_options.password = password;
    Event("credentials now: user " + Quote(user));
}

void CServer::SetFault(Fault fault, bool on)
{
    std::unique_lock<Mutex> lock(m_mutex);
    m_faults[static_cast<int>(fault)] = on;
    Event(std::string("fault ") + FaultName(fault) + (on ? " on" : " off"));
    // The listener follows before this returns, so that a connect right
    // after the call already meets the new state.
    RunOnServer(lock, [this] { UpdateListener(); });
}

bool CServer::HasFault(Fault fault) const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return Has(fault);
}

void CServer::CloseConnections()
{
    std::unique_lock<Mutex> lock(m_mutex);
    RunOnServer(lock, [this] { CloseAllConns("asked to close"); });
}

void CServer::RunOnServer(std::unique_lock<Mutex>& lock, std::function<void()> task)
{
    if (!m_bStarted) {
        task();
        return;
    }
    unsigned long ticket = ++m_tasksQueued;
    m_tasks.push_back(std::move(task));
    Wake();
    m_changed.wait(lock, [&] { return m_tasksDone >= ticket || !m_bStarted; });
}

void CServer::RunTasks()
{
    while (!m_tasks.empty()) {
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        task();
        ++m_tasksDone;
    }
    m_changed.notify_all();
}

void CServer::SendRaw(const std::string& bytes)
{
    std::lock_guard<Mutex> lock(m_mutex);
    for (auto& c : m_conns) {
        if (c->info.open)
            Queue(*c, bytes, 0);
    }
    Wake();
}

void CServer::SendUrgent()
{
    std::lock_guard<Mutex> lock(m_mutex);
    for (auto& c : m_conns) {
        if (c->info.open)
            Queue(*c, "!", 0, true);
    }
    Wake();
}

void CServer::SetDelay(long ms)
{
    std::lock_guard<Mutex> lock(m_mutex);
    m_options.delayMs = ms;
    Event("lines now go out " + std::to_string(ms) + " ms after their cause");
}

void CServer::Play(const std::vector<Step>& steps)
{
    std::lock_guard<Mutex> lock(m_mutex);
    m_steps = steps;
    m_nextStep = 0;
    m_stepBaseMs = Now();
    Event("scenario of " + std::to_string(steps.size()) + " step(s) starts");
    Wake();
}

bool CServer::ScenarioDone() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_nextStep >= m_steps.size();
}

bool CServer::Stopped() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_bStopped;
}

// ---- records ----

std::vector<Received> CServer::ReceivedChunks() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_received;
}

std::string CServer::ReceivedText(int connection) const
{
    std::lock_guard<Mutex> lock(m_mutex);
    std::string text;
    for (const Received& r : m_received) {
        if (r.connection == connection)
            text += r.bytes;
    }
    return text;
}

std::vector<ConnectionInfo> CServer::Connections() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    std::vector<ConnectionInfo> infos;
    for (const auto& c : m_conns)
        infos.push_back(c->info);
    return infos;
}

ConnectionInfo CServer::Connection(int id) const
{
    std::lock_guard<Mutex> lock(m_mutex);
    for (const auto& c : m_conns) {
        if (c->info.id == id)
            return c->info;
    }
    return ConnectionInfo();
}

std::vector<std::string> CServer::Events() const
{
    std::lock_guard<Mutex> lock(m_mutex);
    return m_events;
}

bool CServer::WaitFor(const std::function<bool()>& condition, long timeoutMs) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        // The condition's getters take the lock themselves, so a change may
        // slip in between the test and the wait: the short wait catches it.
        std::unique_lock<Mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                     deadline - now, std::chrono::milliseconds(20)));
    }
}

bool CServer::WaitForConnections(int count, long timeoutMs) const
{
    return WaitFor([&] { return static_cast<int>(Connections().size()) >= count; }, timeoutMs);
}

bool CServer::WaitClosedByClient(int connection, long timeoutMs) const
{
    return WaitFor([&] { return Connection(connection).closedByClient; }, timeoutMs);
}

bool CServer::WaitForText(int connection, const std::string& text, long timeoutMs) const
{
    return WaitFor([&] { return ReceivedText(connection).find(text) != std::string::npos; },
                   timeoutMs);
}

// ---- the server thread ----

void CServer::UpdateListener()
{
    Listening wanted = Has(Fault::Refuse)         ? Listening::None
                       : Has(Fault::StallConnect) ? Listening::Stalled
                                                  : Listening::Normal;
    if (wanted == m_listening || m_bStopped)
        return;
    CloseListeners();
    m_listening = Listening::None;
    if (wanted == Listening::None) {
        Event("refusing connections: nothing listens on port " + std::to_string(m_port));
        return;
    }
    std::string reason;
    // Stalled: a queue of one place that a connection of our own fills and
    // that is never accepted from, so that the system answers no further
    // connection attempt and connect() hangs.
    m_listener = net::Listen(m_port, wanted == Listening::Stalled ? 0 : 16, &reason);
    if (m_listener == net::kInvalid) {
        Event("cannot listen on port " + std::to_string(m_port) + " again: " + reason);
        return;
    }
    if (m_options.ipv6) {
        m_listener6 = net::Listen(m_port, wanted == Listening::Stalled ? 0 : 16, &reason, true);
        if (m_listener6 == net::kInvalid)
            Event("cannot listen on [::1]:" + std::to_string(m_port) + " again: " + reason);
    }
    m_listening = wanted;
    if (wanted == Listening::Stalled) {
        m_filler = net::ConnectLoopbackPending(m_port);
        if (m_listener6 != net::kInvalid)
            m_filler6 = net::ConnectLoopbackPending(m_port, true);
        Event("stalling connections: the accept queue is kept full, connects hang");
    } else {
        Event("accepting connections on port " + std::to_string(m_port));
    }
}

void CServer::Loop()
{
    std::unique_lock<Mutex> lock(m_mutex);
    while (!m_bQuit) {
        RunTasks();
        std::vector<net::Socket> watch;
        std::vector<Conn*> owners;  // the connection of each watched socket, or null
        watch.push_back(m_waker);
        owners.push_back(nullptr);
        bool listening = m_listening == Listening::Normal;
        std::vector<net::Socket> listeners;
        if (listening) {
            listeners.push_back(m_listener);
            if (m_listener6 != net::kInvalid)
                listeners.push_back(m_listener6);
        }
        for (net::Socket listener : listeners) {
            watch.push_back(listener);
            owners.push_back(nullptr);
        }
        for (auto& c : m_conns) {
            if (c->info.open) {
                watch.push_back(c->socket);
                owners.push_back(c.get());
            }
        }
        long timeout = std::max(0L, std::min(NextDue() - Now(), kIdlePollMs));
        lock.unlock();
        std::vector<bool> ready;
        bool waited = net::WaitReadable(watch, timeout, &ready);
        lock.lock();
        if (m_bQuit)
            break;
        RunTasks();
        if (!waited)
            ready.assign(watch.size(), false);
        if (ready[0])
            net::Drain(m_waker);
        // A task may have switched the listener or closed connections since
        // the wait began: only what is still open counts.
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            if (ready[1 + i] && m_listening == Listening::Normal &&
                (m_listener == listeners[i] || m_listener6 == listeners[i]))
                AcceptAll(listeners[i]);
        }
        for (std::size_t i = 0; i < watch.size(); ++i) {
            Conn* c = owners[i];
            if (c && ready[i] && c->info.open)
                ReadFrom(*c);
        }
        RunSteps();
        for (auto& c : m_conns) {
            if (c->info.open)
                Flush(*c);
        }
        m_changed.notify_all();
    }
    RunTasks();
}

long CServer::NextDue() const
{
    long due = Now() + kIdlePollMs;
    for (const auto& c : m_conns) {
        if (c->info.open && !c->out.empty())
            due = std::min(due, c->out.front().dueMs);
    }
    if (m_nextStep < m_steps.size() && m_steps[m_nextStep].action != Action::WaitSession)
        due = std::min(due, m_stepBaseMs + m_steps[m_nextStep].atMs);
    return due;
}

void CServer::CloseListeners()
{
    net::Close(m_listener);
    net::Close(m_filler);
    net::Close(m_listener6);
    net::Close(m_filler6);
    m_listener = m_filler = m_listener6 = m_filler6 = net::kInvalid;
}

void CServer::AcceptAll(net::Socket listener)
{
    for (;;) {
        std::string peer;
        net::Socket s = net::Accept(listener, &peer);
        if (s == net::kInvalid)
            return;
        auto c = std::unique_ptr<Conn>(new Conn);
        c->socket = s;
        c->info.id = static_cast<int>(m_conns.size()) + 1;
        c->info.peer = peer;
        c->info.acceptedMs = Now();
        c->info.open = true;
        m_conns.push_back(std::move(c));
        Conn& conn = *m_conns.back();
        EventOf(conn, "connected from " + peer);
        if (Has(Fault::CloseAtAccept)) {
            CloseConn(conn, "close-at-accept", false);
        } else if (Has(Fault::Silent)) {
            EventOf(conn, "stays silent (silent)");
        } else if (Has(Fault::NoGreeting)) {
            EventOf(conn, "not greeted (no-greeting)");
        } else if (Has(Fault::SplitGreeting)) {
            const std::string& g = m_options.greeting;
            std::size_t at = g.find(kPhrase);
            std::size_t cut = at == std::string::npos ? g.size() / 2 : at + 16;
            Queue(conn, g.substr(0, cut), 0);
            QueueLine(conn, g.substr(cut), std::string::npos);
            conn.out[conn.out.size() - 1].dueMs += kSplitGapMs;
        } else {
            QueueLine(conn, m_options.greeting, std::string::npos);
        }
    }
}

void CServer::ReadFrom(Conn& c)
{
    char buffer[4096];
    long n = net::Recv(c.socket, buffer, sizeof buffer);
    if (n == net::kWouldBlock)
        return;
    if (n <= 0) {
        CloseConn(c, n == 0 ? "closed by the client" : "connection failed: " + net::LastError(),
                  true);
        return;
    }
    std::string bytes(buffer, static_cast<std::size_t>(n));
    m_received.push_back({c.info.id, Now(), bytes});
    EventOf(c, "received " + Quote(bytes));
    c.pending += bytes;
    for (;;) {
        std::size_t end = c.pending.find('\n');
        if (end == std::string::npos)
            break;
        std::string line = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        HandleLine(c, line);
        if (!c.info.open)
            return;
    }
    if (c.pending.size() > kLongestClientLine)
        c.pending.erase(0, c.pending.size() - kLongestClientLine);
}

void CServer::HandleLine(Conn& c, const std::string& line)
{
    if (Has(Fault::Silent))
        return;
    auto Starts = [&](const char* prefix) { return line.compare(0, std::string(prefix).size(), prefix) == 0; };

    if (Starts("Login(")) {
        if (Has(Fault::CloseAtLogin))
            return CloseConn(c, "close-at-login", false);
        bool good = line == "Login(" + m_options.user + ", " + m_options.password + ")";
        bool accepted = good && !Has(Fault::RefuseLogin);
        c.info.loggedIn = accepted;
        EventOf(c, accepted ? "login accepted"
                   : good   ? "login refused (refuse-login)"
                            : "login refused: wrong user name or password");
        QueueLine(c, line + (accepted ? "=0" : "=1") + (Has(Fault::LoginNoCrLf) ? "" : "\r\n"),
                  std::string::npos);
    } else if (line == "SetAutoUpdate(1)" || line == "SetAutoUpdate(0)") {
        if (Has(Fault::CloseAtSubscribe))
            return CloseConn(c, "close-at-subscribe", false);
        if (!c.info.loggedIn) {
            QueueLine(c, line + "=1\r\n", std::string::npos);
            return;
        }
        c.info.subscribed = line == "SetAutoUpdate(1)";
        EventOf(c, c.info.subscribed ? "subscribed to updates" : "unsubscribed");
        if (Has(Fault::NoSubscribeAnswer))
            EventOf(c, "leaves the subscription unanswered (no-subscribe-answer)");
        else
            QueueLine(c, line + "=0\r\n", std::string::npos);
    } else if (Starts("GetValue(")) {
        if (Has(Fault::CloseAtQuery) && !c.queried)
            return CloseConn(c, "close-at-query", false);
        c.queried = true;
        const std::string* value = line == "GetValue(Output Source)"    ? &m_options.output
                                   : line == "GetValue(Battery Status)" ? &m_options.battery
                                                                        : nullptr;
        if (!c.info.loggedIn || !value || Has(Fault::QueryResult1)) {
            QueueLine(c, line + "=1\r\n", std::string::npos);
            return;
        }
        std::string prefix = line + "=0,{{";
        QueueLine(c, prefix + *value + "}}\r\n", prefix.size());
    } else {
        QueueLine(c, line + "=1\r\n", std::string::npos);
    }
}

void CServer::QueueLine(Conn& c, const std::string& line, std::size_t valueAt)
{
    std::size_t first = c.out.size();
    if (Has(Fault::LongLines))
        Queue(c, std::string(kLongLine, '#') + "\r\n", 0);
    std::string bytes = line;
    if (Has(Fault::Junk))
        bytes += std::string(kJunk, sizeof kJunk - 1);
    if (Has(Fault::SplitLines) && valueAt != std::string::npos && valueAt + 3 < bytes.size()) {
        Queue(c, bytes.substr(0, valueAt + 3), 0);
        Queue(c, bytes.substr(valueAt + 3), kSplitGapMs);
    } else {
        Queue(c, bytes, 0);
    }
    if (Has(Fault::Urgent))
        Queue(c, "!", 0, true);
    // The delay moves the whole line, and with it everything queued after it.
    if (m_options.delayMs > 0 && first < c.out.size()) {
        long from = std::max(c.out[first].dueMs, Now() + m_options.delayMs);
        long shift = from - c.out[first].dueMs;
        for (std::size_t i = first; i < c.out.size(); ++i)
            c.out[i].dueMs += shift;
    }
}

void CServer::Queue(Conn& c, const std::string& bytes, long delayMs, bool urgent)
{
    // Never before what is already queued: the order of sends is kept.
    long due = Now();
    if (!c.out.empty())
        due = std::max(due, c.out.back().dueMs);
    c.out.push_back({due + delayMs, bytes, urgent});
}

void CServer::Flush(Conn& c)
{
    long now = Now();
    while (c.info.open && !c.out.empty() && c.out.front().dueMs <= now) {
        Outgoing& o = c.out.front();
        long n = o.urgent ? net::SendUrgent(c.socket, o.bytes[0])
                          : net::Send(c.socket, o.bytes.data(), o.bytes.size());
        if (n == net::kWouldBlock)
            return;  // the client does not read; try again at the next pass
        // On a connected stream a failed send means that the client has
        // reset the connection, as one does that closes with data unread.
        if (n < 0)
            return CloseConn(c, "closed by the client (send failed: " + net::LastError() + ")", true);
        EventOf(c, o.urgent ? "sent one byte of out-of-band data"
                            : "sent " + Quote(o.bytes.substr(0, static_cast<std::size_t>(n))));
        o.bytes.erase(0, static_cast<std::size_t>(n));
        if (o.bytes.empty())
            c.out.pop_front();
    }
}

void CServer::CloseConn(Conn& c, const std::string& reason, bool byClient)
{
    if (!c.info.open)
        return;
    // What is due goes out first, so that "close" after "output" delivers both.
    if (!byClient) {
        long now = Now();
        while (!c.out.empty() && c.out.front().dueMs <= now) {
            Outgoing o = c.out.front();
            c.out.pop_front();
            if (o.urgent)
                net::SendUrgent(c.socket, o.bytes[0]);
            else
                net::Send(c.socket, o.bytes.data(), o.bytes.size());
        }
    }
    net::Close(c.socket);
    c.socket = net::kInvalid;
    c.out.clear();
    c.info.open = false;
    c.info.closedByClient = byClient;
    c.info.closedMs = Now();
    EventOf(c, byClient ? reason : "closed by the simulator (" + reason + ")");
    m_changed.notify_all();
}

void CServer::CloseAllConns(const std::string& reason)
{
    for (auto& c : m_conns) {
        if (c->info.open)
            CloseConn(*c, reason, false);
    }
}

void CServer::RunSteps()
{
    while (m_nextStep < m_steps.size() && !m_bStopped) {
        const Step& step = m_steps[m_nextStep];
        long now = Now();
        if (step.action == Action::WaitSession) {
            bool subscribed = std::any_of(m_conns.begin(), m_conns.end(), [](const std::unique_ptr<Conn>& c) {
                return c->info.open && c->info.subscribed;
            });
            if (!subscribed)
                return;
            m_stepBaseMs = now;
            ++m_nextStep;
            Event("step: wait session: a client is subscribed, the clock starts");
            continue;
        }
        if (m_stepBaseMs + step.atMs > now)
            return;
        ++m_nextStep;
        RunStep(step);
    }
}

void CServer::RunStep(const Step& step)
{
    Event("step: " + step.source);
    switch (step.action) {
    case Action::Output:
        ChangeValue(&m_options.output, "output source", step.text);
        break;
    case Action::Battery:
        ChangeValue(&m_options.battery, "battery status", step.text);
        break;
    case Action::Close:
        CloseAllConns("close step");
        break;
    case Action::Stop:
        CloseAllConns("stop step");
        m_bStopped = true;
        CloseListeners();
        m_listening = Listening::None;
        Event("scenario ends: the simulator stops");
        break;
    case Action::SetFault:
        m_faults[static_cast<int>(step.fault)] = step.on;
        UpdateListener();
        break;
    case Action::Send:
        for (auto& c : m_conns) {
            if (c->info.open)
                Queue(*c, step.text, 0);
        }
        break;
    case Action::Urgent:
        for (auto& c : m_conns) {
            if (c->info.open)
                Queue(*c, "!", 0, true);
        }
        break;
    case Action::Delay:
        m_options.delayMs = step.delayMs;
        Event("lines now go out " + std::to_string(step.delayMs) + " ms after their cause");
        break;
    case Action::WaitSession:
        break;
    }
}

}  // namespace upssim
