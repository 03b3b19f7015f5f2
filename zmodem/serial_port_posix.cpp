// The raw serial calls for the native build (serial_port.h): termios raw 8N1 without flow
// control and the same four-second read time-out as the Windows port. State: posix_com_paths,
// the device behind each of COM1..COM6, /dev/ttyS0..5 unless KESTREL_COM1..KESTREL_COM6 name
// another (tests point them at a pseudo-terminal). A device the program itself chose
// (set_com_device) comes before both; other ports have no device of their own here.
#include "serial_port.h"

#include "line_table.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

char posix_com_paths[COM_PORT_COUNT][256] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                             "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"};

// The device of a port that the program did not choose: KESTREL_COM<n> or /dev/ttyS<n - 1>.
static const char *own_device(int com_index)
{
    if (com_index < 0 || com_index >= COM_PORT_COUNT)
        return nullptr;
    char variable[24];
    std::snprintf(variable, sizeof variable, "KESTREL_COM%d", com_index + 1);
    const char *path = std::getenv(variable);
    if (path && std::strlen(path) < sizeof posix_com_paths[0])
        std::strcpy(posix_com_paths[com_index], path);
    return posix_com_paths[com_index];
}

raw_port raw_port_open(int com_index)
{
    const char *path = chosen_com_device(com_index);
    if (!path)
        path = own_device(com_index);
    if (!path)
        return RAW_PORT_NONE;
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return RAW_PORT_NONE;
    return fd;
}

// The termios speed of each rate of line_table.h, in its order.
static const speed_t line_speeds[LINE_RATE_COUNT] = {B115200, B57600, B38400, B19200, B9600};

static speed_t speed_of(std::uint32_t baud)
{
    for (int i = 0; i < LINE_RATE_COUNT; i++) {
        if (LINE_RATES[i] == baud)
            return line_speeds[i];
    }
    return B0;
}

int raw_port_setup(raw_port port, std::uint32_t baud)
{
    speed_t speed = speed_of(baud);
    struct termios tio;
    if (speed == B0 || tcgetattr((int)port, &tio) != 0)
        return 0;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY);
    // A read returns as soon as one byte is there, or with none after four seconds.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 40;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return 0;
    return tcsetattr((int)port, TCSANOW, &tio) == 0 ? 1 : 0;
}

void raw_port_write(raw_port port, const unsigned char *bytes, int count)
{
    int done = 0;
    while (done < count) {
        ssize_t n = write((int)port, bytes + done, (std::size_t)(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a line that takes nothing loses the rest, as a timed-out write would
        done += (int)n;
    }
}

static long long monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Waits for a byte in slices, so that a cancel request is seen between two; a signal that
// cuts a slice short (EINTR) is such a moment too. Once poll says a byte is there, read (VMIN
// 0, VTIME 40) returns at once with whatever has arrived. A line that has gone fails for good:
// a read error (a pseudo-terminal whose far end closed gives EIO), or a hang-up or error with
// nothing left to read (a USB adapter unplugged reads as the end of the file), for which the
// error is EIO, what a write to it gives.
int raw_port_read(raw_port port, unsigned char *buffer, int size, int wait_ms, int *error)
{
    long long deadline = monotonic_ms() + wait_ms;
    for (long long left = wait_ms; left > 0 && !cancel_request;
         left = deadline - monotonic_ms()) {
        struct pollfd p = {(int)port, POLLIN, 0};
        int slice = left < (long long)READ_SLICE_MS ? (int)left : (int)READ_SLICE_MS;
        int ready = poll(&p, 1, slice);
        if (ready <= 0)
            continue;
        ssize_t n = read((int)port, buffer, (std::size_t)size);
        if (n > 0)
            return (int)n;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            *error = n < 0 ? errno : EIO;
            return -1;
        }
        return 0;
    }
    return 0;
}

int raw_port_pending(raw_port port)
{
    int count = 0;
    if (ioctl((int)port, FIONREAD, &count) != 0)
        return 0;
    return count;
}

void raw_port_flush(raw_port port)
{
    tcdrain((int)port);
}

void raw_port_close(raw_port port)
{
    close((int)port);
}
