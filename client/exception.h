// The client's error: a message identifier (a catalogue entry or a system
// error code) with its insert strings, reported to the Event Log in service
// mode and to standard error otherwise.
#ifndef CVN_EXCEPTION_H
#define CVN_EXCEPTION_H

#include <cstdint>
#include <string>

// Identifiers of the message catalogue (messages.mc).
enum : std::uint32_t {
    MSG_CONNECTING = 0x40020003,
    MSG_CONNECTED = 0x40020007,
    MSG_SOCKET_INIT_FAILED = 0xC0020001,
    MSG_LOGIN_FAILED = 0xC0020002,
    MSG_NO_SERVER_ADDRESS = 0xC0020004,
    MSG_CONNECT_FAILED = 0xC0020005,
    MSG_CONNECTION_LOST = 0xC0020006,
    MSG_INI_LOAD_FAILED = 0xC0020008,
    MSG_INIT_FAILED = 0xC0020009,
    // The users' messages, on record as well.
    MSG_ON_BATTERY = 0x4002000A,
    MSG_LOW_BATTERY = 0x8002000B,
    MSG_SHUTTING_DOWN = 0x8002000C,
    MSG_POWER_RESTORED = 0x4002000D,
    MSG_SHUTDOWN_FAILED = 0xC002000E,
    // Where a dry run stands in for the shutdown request.
    MSG_DRY_RUN = 0x80020014,
    // The administrator's commands, the shutdown action and a resume.
    MSG_COMMAND_START_FAILED = 0xC0020020,
    MSG_COMMAND_FAILED = 0x80020021,
    MSG_COMMAND_TIMED_OUT = 0x80020022,
    MSG_COMMAND_BUSY = 0x80020023,
    MSG_ACTION_FAILED = 0xC0020024,
    MSG_RESUMED = 0x40020025,
    MSG_ACTION_NO_EFFECT = 0xC0020026,
    // With several UPS servers: the session reports and the power events
    // name the server they are about, and a minimum that cannot be met.
    MSG_CONNECTED_AT = 0x40020027,
    MSG_LOGIN_FAILED_AT = 0xC0020028,
    MSG_CONNECT_FAILED_AT = 0xC0020029,
    MSG_CONNECTION_LOST_AT = 0xC002002A,
    MSG_ON_BATTERY_AT = 0x4002002B,
    MSG_LOW_BATTERY_AT = 0x8002002C,
    MSG_SHUTTING_DOWN_AT = 0x8002002D,
    MSG_POWER_RESTORED_AT = 0x4002002E,
    MSG_TOO_FEW_SERVERS = 0x8002002F,
    // A UPS not heard from yet, and how it counts meanwhile.
    MSG_UPS_UNHEARD = 0x80020030,
    // The monitor keeps its last good settings while the file is unfit.
    MSG_SETTINGS_KEPT = 0x80020038,
    // The installation's security steps (setup_trust.h).
    MSG_SETUP_UNVOUCHED = 0xC0020050,
    MSG_SETUP_OWNER = 0xC0020051,
    MSG_SETUP_WRITABLE = 0xC0020052,
    MSG_SETUP_LINK = 0xC0020053,
    MSG_SETUP_HELD_OPEN = 0xC0020054,
    MSG_SETUP_NO_ADDRESS = 0xC0020055,
    MSG_SETUP_STEP_FAILED = 0xC0020056,
    MSG_SETUP_SYSTEM_FOLDER = 0xC0020057,
    // What a server address cannot be, or this system cannot reach.
    MSG_ADDRESS_WITH_PORT = 0xC0020048,
    MSG_ADDRESS_MALFORMED = 0xC0020049,
    MSG_ZONE_NOT_NUMBER = 0xC002004A,
    MSG_IPV6_NOT_SUPPORTED = 0xC002004B,
    MSG_IPV6_NOT_INSTALLED = 0xC002004C,
};

class CCVNException {
public:
    // The calling thread's last system error code, no inserts.
    CCVNException();
    // An identifier and insertCount C strings, copied.
    CCVNException(std::uint32_t messageId, std::uint16_t insertCount, ...);
    virtual ~CCVNException();
    CCVNException(const CCVNException&) = delete;
    CCVNException& operator=(const CCVNException&) = delete;

    // Replaces text with the formatted message, or "Unknown Error".
    virtual void GetMessage(std::string& text);
    void ReportToEventLog();
    void ReportToConsole();
    // Event Log while the process runs as a service, standard error otherwise.
    void Report();

    std::uint16_t m_wInsertCount;
    char** m_ppszInserts;
    std::uint32_t m_dwMessageId;
};

#endif
