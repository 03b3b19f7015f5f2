// Interrupts on Linux: SIGINT and SIGTERM set the status and ask for the cancel. The handlers
// are installed without SA_RESTART, so that a read of the line waiting for the receiver
// returns at once and the sender sees the cancel. State: caught.
#include "interrupt.h"

#include "zmodem.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t caught;

void on_signal(int number)
{
    if (caught == 0)
        caught = number == SIGINT ? 130 : 143;
    zmodem_request_cancel();
}

} // namespace

void catch_interrupts()
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int interrupt_status()
{
    return caught;
}
