// The raw serial calls on Windows (serial_port.h): COM1..COM6 through CreateFileA by their
// plain names, any other port by the device the program chose for it (\\.\COMn), synchronous
// ReadFile and WriteFile with the port's own time-outs. No state of its own.
#include "serial_port.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

static HANDLE as_handle(raw_port port)
{
    return (HANDLE)port;
}

raw_port raw_port_open(int com_index)
{
    char name[8];
    std::snprintf(name, sizeof name, "COM%d", com_index + 1);
    const char *chosen = chosen_com_device(com_index);
    HANDLE handle = CreateFileA(chosen ? chosen : name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return RAW_PORT_NONE;
    return (raw_port)handle;
}

// The line settings, built from nothing: the rate, 8 data bits, no parity, one stop bit;
// every flag clear, so no parity check, no CTS/DSR flow, no XON/XOFF either way, DTR and RTS
// control disabled. XonChar and XoffChar are given their usual values although XON/XOFF stays
// off: the platform refuses a record in which the two are equal, and a refused record would
// leave the port as it was.
static void fill_line_settings(DCB *dcb, std::uint32_t baud)
{
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = baud;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
}

// A one-byte read returns at once when a byte is there, else after one slice of
// READ_SLICE_MS + 1 ms per byte asked for; raw_port_read waits READ_WAIT_MS in such slices, so
// that a cancel request from the console handler's thread is seen between two. A one-byte
// write gives up after 55 ms.
static void fill_time_outs(COMMTIMEOUTS *time_outs)
{
    time_outs->ReadIntervalTimeout = MAXDWORD;
    time_outs->ReadTotalTimeoutMultiplier = 1;
    time_outs->ReadTotalTimeoutConstant = READ_SLICE_MS;
    time_outs->WriteTotalTimeoutMultiplier = 5;
    time_outs->WriteTotalTimeoutConstant = 50;
}

int raw_port_setup(raw_port port, std::uint32_t baud)
{
    SetupComm(as_handle(port), 1024, 1024);
    DCB dcb;
    fill_line_settings(&dcb, baud);
    if (!SetCommState(as_handle(port), &dcb))
        return 0;
    COMMTIMEOUTS time_outs;
    fill_time_outs(&time_outs);
    SetCommTimeouts(as_handle(port), &time_outs);
    return 1;
}

void raw_port_write(raw_port port, const unsigned char *bytes, int count)
{
    DWORD written = 0;
    WriteFile(as_handle(port), bytes, (DWORD)count, &written, nullptr);
}

int raw_port_pending(raw_port port)
{
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(as_handle(port), &errors, &status))
        return 0;
    return (int)status.cbInQue;
}

// With the time-outs above a one-byte read returns as soon as a byte is there; a longer read
// would wait for all of its bytes. So the read asks for what the driver already holds, or for
// one byte when it holds none. A failed ReadFile is a line gone (a USB adapter unplugged),
// unless the console handler cut the read short for a cancel (ERROR_OPERATION_ABORTED).
int raw_port_read(raw_port port, unsigned char *buffer, int size, int wait_ms, int *error)
{
    DWORD got = 0;
    DWORD start = GetTickCount();
    while (got == 0 && !cancel_request && GetTickCount() - start < (DWORD)wait_ms) {
        int pending = raw_port_pending(port);
        DWORD want = pending > 1 ? (DWORD)(pending < size ? pending : size) : 1;
        if (!ReadFile(as_handle(port), buffer, want, &got, nullptr)) {
            DWORD code = GetLastError();
            if (code == ERROR_OPERATION_ABORTED || cancel_request)
                return 0;
            *error = code != 0 ? (int)code : ERROR_GEN_FAILURE;
            return -1;
        }
    }
    return (int)got;
}

void raw_port_flush(raw_port port)
{
    FlushFileBuffers(as_handle(port));
}

void raw_port_close(raw_port port)
{
    CloseHandle(as_handle(port));
}
