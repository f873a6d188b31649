// Scenarios of the UPS server simulator: timed steps written one a line,
//
//   # a comment
//   wait session              the clock starts when a client has subscribed
//   at 2s output Battery      the output source changes
//   at 5s battery Low         the battery status changes
//   at 6s fault split-lines   a misbehaviour switched on ("off" switches it off)
//   at 7s send "junk\0\r\n"   raw bytes to every client (C escapes)
//   at 8s urgent              one byte of out-of-band data to every client
//   at 8s delay 500ms         every line is sent this long after its cause
//   at 9s output Line
//   at 12s close              every client connection is closed
//   at 15s stop               the simulator ends
//
// and the misbehaviours ("faults") that a step, an option or a test switches.
#ifndef UPSSIM_SCENARIO_H
#define UPSSIM_SCENARIO_H

#include <string>
#include <vector>

namespace upssim {

enum class Fault {
    NoGreeting,         // connections are not greeted; lines are still answered
    SplitGreeting,      // the greeting comes in two sends, cut inside "successfully connected"
    RefuseLogin,        // every login is answered with result 1, good credentials too
    LoginNoCrLf,        // the login answer lacks its CR LF
    NoSubscribeAnswer,  // SetAutoUpdate is not answered
    SplitLines,         // value lines come in two sends, cut three characters into the value
    Junk,               // every line sent is followed, in the same send, by junk with NUL bytes
    LongLines,          // every line sent is preceded by a line of 1500 filler characters
    Urgent,             // every line sent is followed by one byte of out-of-band data
    CloseAtAccept,      // a new connection is closed at once
    CloseAtLogin,       // the connection is closed when the login line arrives
    CloseAtSubscribe,   // ... when SetAutoUpdate arrives
    CloseAtQuery,       // ... when the first GetValue arrives
    Silent,             // connections are accepted and never sent a byte
    Refuse,             // nothing listens: connections are refused
    StallConnect,       // connections are neither accepted nor refused: connect hangs
    QueryResult1,       // GetValue is answered with result 1 and no value
    Count
};

const char* FaultName(Fault fault);
// Accepts the names that FaultName gives.
bool FaultFromName(const std::string& name, Fault* fault);
// All names, for the usage text.
std::string FaultNames();

enum class Action {
    Output,       // text: the new output source
    Battery,      // text: the new battery status
    Close,        // close every client connection
    Stop,         // end the scenario (and the program)
    SetFault,     // fault, on
    Send,         // text: raw bytes to every client
    Urgent,       // one out-of-band byte to every client
    Delay,        // atMs of the step as given; delayMs: how late lines go out from now on
    WaitSession,  // wait until a client has subscribed; later times count from then
};

struct Step {
    Action action = Action::Stop;
    long atMs = 0;            // since the scenario started, or since the last wait
    std::string text;
    Fault fault = Fault::Count;
    long delayMs = 0;
    bool on = true;
    std::string source;       // the step as written, for the printout
};

// "2s", "1.5s", "500ms", "3" (seconds); at most three decimals.
bool ParseDuration(const std::string& text, long* ms);

// One step. Blank lines and comments are not steps.
bool ParseStep(const std::string& line, Step* step, std::string* error);

// A whole scenario text; the error names the line. Times count from the
// start or the last "wait session" and may not go back.
bool ParseScenario(const std::string& text, std::vector<Step>* steps, std::string* error);

// Adds a step to a scenario, with the same time check.
bool AppendStep(std::vector<Step>* steps, const Step& step, std::string* error);

// C escapes (\r \n \t \0 \\ \" \xHH) to bytes; false on a bad escape.
bool Unescape(const std::string& text, std::string* bytes);
// Bytes to a quoted, printable text; longer texts are cut at maxShown bytes
// with the full length added.
std::string Quote(const std::string& bytes, std::size_t maxShown = 160);

}  // namespace upssim

#endif
