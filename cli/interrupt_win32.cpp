// Interrupts on Windows: the console's control events arrive on a thread of their own. Ctrl-C
// and Ctrl-Break set the status and ask for the cancel; the program goes on to clean up.
// Closing the window, logging off and shutting down end the process when the handler
// returns, so the handler then holds the process for a few seconds, time for the sender to
// cancel and for the command to clean up and end the process itself. A read of the line
// waits up to four seconds; the handler cuts it short (CancelSynchronousIo, where Windows has
// it), so that the sender sees the cancel at once. State: caught, main_thread.
#include "interrupt.h"

#include "zmodem.h"

#include <windows.h>

namespace {

enum { CLOSE_GRACE_MS = 4500 };

volatile LONG caught;
HANDLE main_thread;

typedef BOOL(WINAPI *cancel_io_call)(HANDLE);

// Ends a synchronous read or write the program's thread is waiting in. Looked up at run time:
// Windows before Vista has no such call, and there the read ends on its own time-out.
void cut_wait_short()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    void *call = kernel ? reinterpret_cast<void *>(GetProcAddress(kernel, "CancelSynchronousIo"))
                        : nullptr;
    if (call && main_thread)
        reinterpret_cast<cancel_io_call>(call)(main_thread);
}

BOOL WINAPI on_event(DWORD event)
{
    const int closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    const LONG before = InterlockedCompareExchange(&caught, closing ? 143 : 130, 0);
    zmodem_request_cancel();
    // Only the first: a later one could cut the cancel sequence short on its way out.
    if (before == 0)
        cut_wait_short();
    if (closing)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

} // namespace

void catch_interrupts()
{
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    // A child of a rack is started in a process group of its own, which ignores Ctrl-C until
    // it asks for it again.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(on_event, TRUE);
}

int interrupt_status()
{
    return static_cast<int>(caught);
}
