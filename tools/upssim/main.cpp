// upssim: the UPS management server simulator as a program, for the
// demonstration and for trying the client by hand. One line per event on
// standard output.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "upssim/server.h"

namespace {

void Usage(std::ostream& out)
{
    out << "Usage: upssim [options] [scenario file]\n"
           "Options:\n"
           "  -p, --port N          port on 127.0.0.1 (default 8888; 0 takes a free one)\n"
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
           "Runs until a \"stop\" step or until interrupted.\n";
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

}  // namespace

int main(int argc, char** argv)
{
    upssim::Options options;
    options.port = 8888;
    std::vector<upssim::Fault> faults;
    std::vector<std::string> cliSteps;
    std::string scenarioPath;

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
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || port < 0 || port > 65535)
                return Fail("bad port \"" + value + "\"");
            options.port = static_cast<std::uint16_t>(port);
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

    std::vector<upssim::Step> steps;
    std::string error;
    if (!scenarioPath.empty()) {
        std::string text;
        if (!ReadFileText(scenarioPath, &text))
            return Fail("cannot read " + scenarioPath);
        if (!upssim::ParseScenario(text, &steps, &error))
            return Fail(scenarioPath + ": " + error);
    }
    for (const std::string& s : cliSteps) {
        upssim::Step step;
        if (!upssim::ParseStep(s, &step, &error) || !upssim::AppendStep(&steps, step, &error))
            return Fail("step \"" + s + "\": " + error);
    }

    upssim::CServer server(options);
    server.SetEventSink([](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    for (upssim::Fault fault : faults)
        server.SetFault(fault, true);
    if (!server.Start(&error))
        return Fail(error);
    if (!steps.empty())
        server.Play(steps);

    while (!server.Stopped())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Stop();
    return 0;
}
