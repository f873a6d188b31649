// Windows code only: the shutdown helper of Windows 9x.
#include <windows.h>

// Windows 9x has no shutdown privilege to ask for, and a plain shutdown lets
// every program close in its own time. The client has nothing to learn from
// the outcome: it only needed this process to start.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    ExitWindowsEx(EWX_SHUTDOWN, 0);
    return 0;
}
