// upssim: the UPS management server simulator as a program, for the
// demonstration and for trying the client by hand. One line per event on
// standard output. It serves one UPS, or several side by side (each on a
// port of its own with a scenario of its own) for a computer with
// redundant power supplies.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "upssim/server.h"

namespace {

void Usage(std::ostream& out)
{
    out << "Usage: upssim [options] [scenario file]\n"
           "       upssim [options] --ups PORT[:FILE] --ups PORT[:FILE] ...\n"
           "Options:\n"
           "  -p, --port N          port on 127.0.0.1 (default 8888; 0 takes a free one)\n"
           "  -6, --ipv6            listen on [::1] as well, on the same port\n"
           "  -U, --ups PORT[:FILE] one more UPS on its own port, playing its own\n"
           "                        scenario file (repeatable); the other options\n"
           "                        hold for every UPS, and each line names its UPS\n"
           "                        (\"ups 1:\" for the first --ups)\n"
           "  -u, --user NAME       user name that may log in (default admin)\n"
           "  -w, --password TEXT   its password (default vorak)\n"
           "  -o, --output VALUE    output source at the start (default Line)\n"
           "  -b, --battery VALUE   battery status at the start (default OK)\n"
           "  -g, --greeting TEXT   greeting, C escapes allowed (default ends in\n"
           "                        \"successfully connected\\r\\n\")\n"
           "  -d, --delay TIME      every line is sent this long after its cause (e.g. 500ms)\n"
           "  -f, --fault NAME      a misbehaviour from the start (repeatable)\n"
           "  -s, --step STEP       a scenario step after those of the file (repeatable),\n"
           "                        e.g. -s \"at 2s output Battery\"\n"
           "  -h, --help\n"
           "Scenario steps, one a line (# starts a comment):\n"
           "  wait session | at <time> output <value> | at <time> battery <value>\n"
           "  at <time> fault <name> [on|off] | at <time> delay <time>\n"
           "  at <time> send <bytes> | at <time> urgent\n"
           "  at <time> close | at <time> stop\n"
           "Faults: "
        << upssim::FaultNames()
        << "\n"
           "Runs until every UPS has had a \"stop\" step, or until interrupted.\n";
}

bool ReadFileText(const std::string& path, std::string* text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    return true;
}

int Fail(const std::string& message)
{
    std::cerr << "upssim: " << message << "\n";
    return 2;
}

bool ParsePort(const std::string& text, std::uint16_t* port)
{
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || value < 0 || value > 65535)
        return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

// One UPS the program serves: its port and its scenario file (none: only
// the steps of the command line).
struct UpsArg {
    std::uint16_t port = 0;
    std::string scenarioPath;
};

}  // namespace

int main(int argc, char** argv)
{
    upssim::Options options;
    options.port = 8888;
    std::vector<upssim::Fault> faults;
    std::vector<std::string> cliSteps;
    std::string scenarioPath;
    std::vector<UpsArg> several;
    bool portGiven = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto Value = [&](std::string* value) {
            if (i + 1 >= argc)
                return false;
            *value = argv[++i];
            return true;
        };
        std::string value;
        if (arg == "-h" || arg == "--help") {
            Usage(std::cout);
            return 0;
        } else if (arg == "-p" || arg == "--port") {
            if (!Value(&value))
                return Fail("missing port");
            if (!ParsePort(value, &options.port))
                return Fail("bad port \"" + value + "\"");
            portGiven = true;
        } else if (arg == "-U" || arg == "--ups") {
            // The port is digits only, so the first colon ends it whatever
            // the path holds (a drive letter included).
            if (!Value(&value))
                return Fail("missing UPS");
            UpsArg ups;
            const std::string::size_type colon = value.find(':');
            if (!ParsePort(value.substr(0, colon), &ups.port))
                return Fail("bad UPS port in \"" + value + "\"");
            if (colon != std::string::npos)
                ups.scenarioPath = value.substr(colon + 1);
            several.push_back(ups);
        } else if (arg == "-u" || arg == "--user") {
            if (!Value(&options.user))
                return Fail("missing user name");
        } else if (arg == "-w" || arg == "--password") {
            if (!Value(&options.password))
                return Fail("missing password");
        } else if (arg == "-o" || arg == "--output") {
            if (!Value(&options.output))
                return Fail("missing output source");
        } else if (arg == "-b" || arg == "--battery") {
            if (!Value(&options.battery))
                return Fail("missing battery status");
        } else if (arg == "-g" || arg == "--greeting") {
            if (!Value(&value) || !upssim::Unescape(value, &options.greeting))
                return Fail("missing or badly escaped greeting");
        } else if (arg == "-6" || arg == "--ipv6") {
            options.ipv6 = true;
        } else if (arg == "-d" || arg == "--delay") {
            if (!Value(&value) || !upssim::ParseDuration(value, &options.delayMs))
                return Fail("missing or bad delay");
        } else if (arg == "-f" || arg == "--fault") {
            upssim::Fault fault;
            if (!Value(&value) || !upssim::FaultFromName(value, &fault))
                return Fail("unknown fault \"" + value + "\"; faults: " + upssim::FaultNames());
            faults.push_back(fault);
        } else if (arg == "-s" || arg == "--step") {
            if (!Value(&value))
                return Fail("missing step");
            cliSteps.push_back(value);
        } else if (!arg.empty() && arg[0] == '-') {
            Usage(std::cerr);
            return 2;
        } else if (scenarioPath.empty()) {
            scenarioPath = arg;
        } else {
            return Fail("one scenario file only");
        }
    }

    if (!several.empty() && (portGiven || !scenarioPath.empty()))
        return Fail("--ups gives each UPS its port and scenario: no --port or scenario file beside it");
    const bool named = !several.empty();
    if (several.empty()) {
        UpsArg ups;
        ups.port = options.port;
        ups.scenarioPath = scenarioPath;
        several.push_back(ups);
    }

    // Every scenario is read before any server starts: a bad one starts none.
    std::vector<std::vector<upssim::Step>> scenarios;
    std::string error;
    for (const UpsArg& ups : several) {
        std::vector<upssim::Step> steps;
        if (!ups.scenarioPath.empty()) {
            std::string text;
            if (!ReadFileText(ups.scenarioPath, &text))
                return Fail("cannot read " + ups.scenarioPath);
            if (!upssim::ParseScenario(text, &steps, &error))
                return Fail(ups.scenarioPath + ": " + error);
        }
        for (const std::string& s : cliSteps) {
            upssim::Step step;
            if (!upssim::ParseStep(s, &step, &error) || !upssim::AppendStep(&steps, step, &error))
                return Fail("step \"" + s + "\": " + error);
        }
        scenarios.push_back(steps);
    }

    std::vector<std::unique_ptr<upssim::CServer>> servers;
    for (const UpsArg& ups : several) {
        upssim::Options own = options;
        own.port = ups.port;
        servers.emplace_back(new upssim::CServer(own));
        // With several UPSes each line says which one it is about.
        const std::string tag = named ? "ups " + std::to_string(servers.size()) + ": " : "";
        servers.back()->SetEventSink([tag](const std::string& line) {
            const std::string text = tag + line + "\n";
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
        });
        for (upssim::Fault fault : faults)
            servers.back()->SetFault(fault, true);
        if (!servers.back()->Start(&error))
            return Fail(error);
    }
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (!scenarios[i].empty())
            servers[i]->Play(scenarios[i]);
    }

    auto allStopped = [&] {
        for (const auto& server : servers) {
            if (!server->Stopped())
                return false;
        }
        return true;
    };
    while (!allStopped())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& server : servers)
        server->Stop();
    return 0;
}
