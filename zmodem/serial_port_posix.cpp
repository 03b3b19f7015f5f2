// The raw serial calls for the native build (serial_port.h): termios raw 8N1 without flow
// control and the same four-second read time-out as the Windows port, with the same
// buffering: written bytes wait until the next read, flush or close (or until 1024 are there;
// 16 after a read), and a read takes whatever has arrived. State: those two buffers, and posix_com_paths, the
// device behind each of COM1..COM6, /dev/ttyS0..5 unless KESTREL_COM1..KESTREL_COM6 name
// another (tests point them at a pseudo-terminal).
#include "serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

enum { RESUME_BYTES = 16 };

char posix_com_paths[6][256] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"};

static unsigned char out_buffer[1024];
static int out_count;
// Bytes held before they go to the driver: a few after each read, so that the line starts at
// once when the sender resumes, then a whole buffer while it keeps the line busy.
static int out_limit = (int)sizeof out_buffer;
static unsigned char in_buffer[256];
static int in_count;
static int in_next;

static void push_output(raw_port port)
{
    int done = 0;
    while (done < out_count) {
        ssize_t n = write((int)port, out_buffer + done, (std::size_t)(out_count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a line that takes nothing loses the rest, as a timed-out write would
        done += (int)n;
    }
    out_count = 0;
}

raw_port raw_port_open(int com_index)
{
    char variable[24];
    std::snprintf(variable, sizeof variable, "KESTREL_COM%d", com_index + 1);
    const char *path = std::getenv(variable);
    if (path && std::strlen(path) < sizeof posix_com_paths[0])
        std::strcpy(posix_com_paths[com_index], path);
    int fd = open(posix_com_paths[com_index], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return RAW_PORT_NONE;
    out_count = 0;
    out_limit = (int)sizeof out_buffer;
    in_count = in_next = 0;
    return fd;
}

static speed_t speed_of(std::uint32_t baud)
{
    switch (baud) {
    case 115200: return B115200;
    case 57600: return B57600;
    case 38400: return B38400;
    case 19200: return B19200;
    case 9600: return B9600;
    default: return B0;
    }
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

int raw_port_write_byte(raw_port port, unsigned char b)
{
    out_buffer[out_count++] = b;
    if (out_count >= out_limit) {
        push_output(port);
        out_limit = (int)sizeof out_buffer;
    }
    return 1;
}

// VMIN 0 and VTIME 40: returns whatever has arrived as soon as anything has, or nothing after
// four seconds.
int raw_port_read_byte(raw_port port, unsigned char *b)
{
    if (in_next < in_count) {
        *b = in_buffer[in_next++];
        return 1;
    }
    push_output(port);
    out_limit = RESUME_BYTES;
    ssize_t n = read((int)port, in_buffer, sizeof in_buffer);
    in_count = n > 0 ? (int)n : 0;
    in_next = 0;
    if (in_count == 0)
        return 0;
    *b = in_buffer[in_next++];
    return 1;
}

void raw_port_flush(raw_port port)
{
    push_output(port);
    tcdrain((int)port);
}

void raw_port_close(raw_port port)
{
    push_output(port);
    close((int)port);
    in_count = in_next = 0;
}

void raw_process_exit(int status)
{
    std::fflush(stdout);
    std::_Exit(status);
}
