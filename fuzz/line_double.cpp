// The scripted line of the fuzz targets: the raw serial calls of serial_port.h.
#include "line_double.h"

#include "serial_port.h"

#include <csetjmp>
#include <cstring>

namespace {

const std::uint8_t *script;
std::size_t script_size;
std::size_t script_next;
const std::uint8_t *tail;
std::size_t tail_size;
std::size_t tail_next;
int tails_left;
std::jmp_buf timed_out;

// Copies up to size bytes from the current part of the script; 0 when nothing is left.
int take(const std::uint8_t *from, std::size_t from_size, std::size_t &next, unsigned char *to,
         int size)
{
    std::size_t n = from_size - next;
    if (n > static_cast<std::size_t>(size))
        n = static_cast<std::size_t>(size);
    std::memcpy(to, from + next, n);
    next += n;
    return static_cast<int>(n);
}

} // namespace

void line_script(const std::uint8_t *data, std::size_t size, const std::uint8_t *tail_bytes,
                 std::size_t tail_bytes_size, int tail_repeats)
{
    script = data;
    script_size = size;
    script_next = 0;
    tail = tail_bytes;
    tail_size = tail_bytes_size;
    tail_next = 0;
    tails_left = tail_bytes_size > 0 ? tail_repeats : 0;
}

int line_run(void (*body)())
{
    if (setjmp(timed_out) != 0)
        return 0;
    body();
    return 1;
}

raw_port raw_port_open(int)
{
    return 7;
}

int raw_port_setup(raw_port, std::uint32_t)
{
    return 1;
}

void raw_port_write(raw_port, const unsigned char *, int) {}

int raw_port_read(raw_port, unsigned char *buffer, int size)
{
    if (script_next < script_size)
        return take(script, script_size, script_next, buffer, size);
    if (tails_left > 0) {
        int got = take(tail, tail_size, tail_next, buffer, size);
        if (tail_next == tail_size) {
            tail_next = 0;
            tails_left--;
        }
        return got;
    }
    return 0;
}

// The script has arrived whole: what is left of it waits to be read; the tail, which stands
// for a receiver repeating itself later, does not.
int raw_port_pending(raw_port)
{
    return static_cast<int>(script_size - script_next);
}

void raw_port_flush(raw_port) {}

void raw_port_close(raw_port) {}

void raw_process_exit(int)
{
    std::longjmp(timed_out, 1);
}
