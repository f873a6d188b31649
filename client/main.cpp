// Program entry of CVNRemote.
#include <cstdlib>
#include <cstring>

#include "app.h"
#include "children.h"
#include "exception.h"
#include "qmx/debug.h"

using qmx::CDebug;

int main(int argc, char** argv)
{
    cvn::KeepInheritedFromChildren();
    bool daemon = false;
    for (int i = 0; i < argc; ++i) {
        if (cvn::IsDaemonWord(argv[i]))
            daemon = true;
    }

    // A service manager that keeps standard error in its journal (the
    // Debian unit) sets CVN_TRACE_ECHO=0: the trace then goes to the trace
    // file alone, as in the Windows service, and the journal holds the
    // reports. A console run by hand keeps the echo.
    const char* echoSetting = std::getenv("CVN_TRACE_ECHO");
    const bool echo = daemon && !(echoSetting && std::strcmp(echoSetting, "0") == 0);

    CDebug::SetTraceLevel(CDebug::TraceDetail);
    CDebug::SetConsoleOutput(echo);
    // Without the echo trace output is off until a trace file is configured.
    if (!echo)
        CDebug::SetDefaultOutput(nullptr);

    try {
        CCVNRemoteApp* app = new CCVNRemoteApp(argc, argv);
        g_pApp = app;
        int status = 0;
        try {
            if (app->m_eCheck != CCVNRemoteApp::Check::None)
                status = app->RunCheck();
            else
                app->Run();
        } catch (...) {
            g_pApp = nullptr;
            delete app;
            throw;
        }
        // A monitor that ended by itself (a failed start-up, no server
        // address) is a failure that scripts can tell.
        if (app->m_dwFailure != 0)
            status = cvn::kExitFailed;
        g_pApp = nullptr;
        delete app;
        return status;
    } catch (CCVNException* error) {
        error->ReportToConsole();
        delete error;
        return -1;
    } catch (cvn::CommandFailed&) {
        return cvn::kExitFailed;
    } catch (...) {
        return -1;
    }
}
