// The UPS management server simulator: a TCP server on loopback that greets,
// checks logins, takes subscriptions, answers queries and sends update lines
// whenever a value changes; it plays scenarios, misbehaves on demand, records
// every byte its clients send, and describes each event in one line.
//
// The server runs on a thread of its own. Every operation below may be called
// from any thread while it runs; sockets are touched by the server thread only.
#ifndef UPSSIM_SERVER_H
#define UPSSIM_SERVER_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "upssim/scenario.h"
#include "upssim/socket.h"
#include "upssim/threads.h"

namespace upssim {

struct Options {
    std::uint16_t port = 0;  // 0: a free port, see Port()
    std::string user = "admin";
    std::string password = "vorak";
    std::string output = "Line";   // output source at the start
    std::string battery = "OK";    // battery status at the start
    std::string greeting = "UPS management server simulator: successfully connected\r\n";
    long delayMs = 0;  // how long after its cause each line is sent
    bool ipv6 = false;  // listen on [::1] as well, on the same port
};

// One receive from a client, as it arrived.
struct Received {
    int connection = 0;
    long ms = 0;  // since the start of the server
    std::string bytes;
};

struct ConnectionInfo {
    int id = 0;               // 1 for the first connection accepted, and so on
    std::string peer;
    long acceptedMs = 0;
    bool open = false;
    bool closedByClient = false;
    long closedMs = -1;
    bool loggedIn = false;
    bool subscribed = false;
};

class CServer {
public:
    explicit CServer(const Options& options = Options());
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Called with each event line, on the thread where the event happens;
    // set it before Start.
    void SetEventSink(std::function<void(const std::string&)> sink);

    // Listens on 127.0.0.1 and starts the server thread.
    bool Start(std::string* error = nullptr);
    // Closes every connection and the listener; ends the thread.
    void Stop();
    std::uint16_t Port() const;
    // Milliseconds since Start.
    long Now() const;

    void SetOutput(const std::string& value);
    void SetBattery(const std::string& value);
    std::string Output() const;
    std::string Battery() const;
    void SetCredentials(const std::string& user, const std::string& password);
    void SetFault(Fault fault, bool on);
    bool HasFault(Fault fault) const;
    // Closes every client connection; the server goes on listening.
    void CloseConnections();
    // Raw bytes, or one out-of-band byte, to every open connection.
    void SendRaw(const std::string& bytes);
    void SendUrgent();
    // From now on every line (greeting, answers, updates) is sent this long
    // after what caused it: a slow server.
    void SetDelay(long ms);

    // Plays the steps from now, replacing a scenario that still plays.
    void Play(const std::vector<Step>& steps);
    bool ScenarioDone() const;
    // A "stop" step has run: connections and listener are closed.
    bool Stopped() const;

    std::vector<Received> ReceivedChunks() const;
    // Everything one connection sent, in order.
    std::string ReceivedText(int connection) const;
    std::vector<ConnectionInfo> Connections() const;
    ConnectionInfo Connection(int id) const;  // id 0 when there is none
    std::vector<std::string> Events() const;

    // Polls condition (called without the server's lock) until it holds or
    // timeoutMs passes.
    bool WaitFor(const std::function<bool()>& condition, long timeoutMs) const;
    bool WaitForConnections(int count, long timeoutMs) const;
    bool WaitClosedByClient(int connection, long timeoutMs) const;
    bool WaitForText(int connection, const std::string& text, long timeoutMs) const;

private:
    struct Outgoing {
        long dueMs;
        std::string bytes;
        bool urgent;
    };
    struct Conn {
        ConnectionInfo info;
        net::Socket socket = net::kInvalid;
        std::string pending;  // a line not yet ended
        bool queried = false;
        std::deque<Outgoing> out;
    };
    enum class Listening { None, Normal, Stalled };

    void Loop();
    // Runs task on the server thread (at once before Start) and waits for it.
    void RunOnServer(std::unique_lock<Mutex>& lock, std::function<void()> task);
    void RunTasks();
    void Event(const std::string& text);
    void EventOf(const Conn& c, const std::string& text);
    void Wake();
    void UpdateListener();
    void AcceptAll(net::Socket listener);
    void CloseListeners();
    void ReadFrom(Conn& c);
    void HandleLine(Conn& c, const std::string& line);
    void QueueLine(Conn& c, const std::string& line, std::size_t valueAt);
    void Queue(Conn& c, const std::string& bytes, long delayMs, bool urgent = false);
    void Flush(Conn& c);
    void CloseConn(Conn& c, const std::string& reason, bool byClient);
    void CloseAllConns(const std::string& reason);
    void ChangeValue(std::string* value, const char* name, const std::string& to);
    void RunSteps();
    void RunStep(const Step& step);
    long NextDue() const;
    bool Has(Fault fault) const { return m_faults[static_cast<int>(fault)]; }

    Options m_options;
    std::function<void(const std::string&)> m_sink;

    mutable Mutex m_mutex;
    mutable CondVar m_changed;
    Thread m_thread;
    bool m_bStarted = false;
    bool m_bQuit = false;
    std::chrono::steady_clock::time_point m_start;

    std::uint16_t m_port = 0;
    net::Socket m_listener = net::kInvalid;
    net::Socket m_filler = net::kInvalid;  // holds the accept queue full while stalled
    net::Socket m_listener6 = net::kInvalid;  // on ::1, with Options::ipv6
    net::Socket m_filler6 = net::kInvalid;
    Listening m_listening = Listening::None;
    net::Socket m_waker = net::kInvalid;

    bool m_faults[static_cast<int>(Fault::Count)] = {};
    std::vector<std::unique_ptr<Conn>> m_conns;
    std::vector<Received> m_received;
    std::vector<std::string> m_events;

    std::vector<Step> m_steps;
    std::size_t m_nextStep = 0;
    long m_stepBaseMs = 0;
    bool m_bStopped = false;

    std::deque<std::function<void()>> m_tasks;
    unsigned long m_tasksQueued = 0;
    unsigned long m_tasksDone = 0;
};

}  // namespace upssim

#endif
