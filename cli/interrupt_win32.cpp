// Interrupts on Windows: the console's control events arrive on a thread of their own. Ctrl-C
// and Ctrl-Break set the status and ask for the cancel; the program goes on to clean up.
// Closing the window, logging off and shutting down end the process when the handler
// returns, so the handler then holds the process for a few seconds, time for the sender to
// cancel and for the command to clean up and end the process itself. State: caught.
#include "interrupt.h"

#include "zmodem.h"

#include <windows.h>

namespace {

enum { CLOSE_GRACE_MS = 4500 };

volatile LONG caught;

BOOL WINAPI on_event(DWORD event)
{
    const int closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    InterlockedCompareExchange(&caught, closing ? 143 : 130, 0);
    zmodem_request_cancel();
    if (closing)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

} // namespace

void catch_interrupts()
{
    // A child of a rack is started in a process group of its own, which ignores Ctrl-C until
    // it asks for it again.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(on_event, TRUE);
}

int interrupt_status()
{
    return static_cast<int>(caught);
}
