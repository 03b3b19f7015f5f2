// Interrupts of the console program: SIGINT and SIGTERM on Linux; Ctrl-C, Ctrl-Break and
// closing the console window on Windows. Each asks the send under way to cancel
// (zmodem_request_cancel: the terminal is sent the cancel sequence) and is remembered, so
// that the command can remove its working files and end with interrupt_status. The platform
// seam: interrupt_posix.cpp, interrupt_win32.cpp. State: the status of the first interrupt.
#ifndef KESTREL_INTERRUPT_H
#define KESTREL_INTERRUPT_H

// From now on, interrupts are caught as above instead of ending the process.
void catch_interrupts();
// 0 while no interrupt came; else the status to end with: 130 after SIGINT, Ctrl-C or
// Ctrl-Break, 143 after SIGTERM or the console window's closing.
int interrupt_status();

#endif
