// Program entry of CVNRemote.
#include "app.h"
#include "exception.h"
#include "qmx/debug.h"

using qmx::CDebug;

int main(int argc, char** argv)
{
    bool daemon = false;
    for (int i = 0; i < argc; ++i) {
        if (cvn::IsDaemonWord(argv[i]))
            daemon = true;
    }

    CDebug::SetTraceLevel(CDebug::TraceDetail);
    CDebug::SetConsoleOutput(daemon);
    // Without "daemon" trace output is off until a trace file is configured.
    if (!daemon)
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
