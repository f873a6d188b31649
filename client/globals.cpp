// Process-wide names and variables of the client.
#include "app.h"

namespace cvn {
const char* const kServiceName = "Corvane Remote Shutdown Client";
}

CCVNRemoteApp* g_pApp = nullptr;
bool g_bRunningAsService = false;
FILE* g_pSystemLog = nullptr;
