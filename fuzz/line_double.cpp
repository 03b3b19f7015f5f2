// The scripted line of the fuzz targets: the raw serial calls of serial_port.h.
#include "line_double.h"

#include "platform.h"
#include "serial_port.h"

#include <csetjmp>
#include <cstring>

namespace {

enum { MARK = 0xFF, MARK_SILENCE = 0x00, MARK_EARLY = 0x01 };

const std::uint8_t *script;
std::size_t script_size;
std::size_t script_next;
int early; // the bytes up to the next mark have arrived
const std::uint8_t *tail;
std::size_t tail_size;
std::size_t tail_next;
int tails_left;
std::jmp_buf timed_out;

// The mark at offset at of the script: MARK_SILENCE, MARK_EARLY, or -1 for a byte.
int mark_at(std::size_t at)
{
    if (at + 1 >= script_size || script[at] != MARK)
        return -1;
    int kind = script[at + 1];
    return kind == MARK_SILENCE || kind == MARK_EARLY ? kind : -1;
}

// Takes the early marks at the read point.
void settle()
{
    while (mark_at(script_next) == MARK_EARLY) {
        script_next += 2;
        early = 1;
    }
}

// The bytes from offset at up to the next mark, at most limit, into to (when not null).
// Returns their number; *after is the offset behind the last one.
int bytes_to_mark(std::size_t at, unsigned char *to, int limit, std::size_t *after)
{
    int n = 0;
    while (n < limit && at < script_size && mark_at(at) < 0) {
        bool doubled = script[at] == MARK && at + 1 < script_size && script[at + 1] == MARK;
        if (to)
            to[n] = script[at];
        n++;
        at += doubled ? 2 : 1;
    }
    *after = at;
    return n;
}

int read_tail(unsigned char *buffer, int size)
{
    if (tails_left <= 0)
        return 0;
    std::size_t n = tail_size - tail_next;
    if (n > static_cast<std::size_t>(size))
        n = static_cast<std::size_t>(size);
    std::memcpy(buffer, tail + tail_next, n);
    tail_next += n;
    if (tail_next == tail_size) {
        tail_next = 0;
        tails_left--;
    }
    return static_cast<int>(n);
}

} // namespace

void line_script(const std::uint8_t *data, std::size_t size, const std::uint8_t *tail_bytes,
                 std::size_t tail_bytes_size, int tail_repeats)
{
    script = data;
    script_size = size;
    script_next = 0;
    early = 0;
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

int raw_port_read(raw_port, unsigned char *buffer, int size, int, int *)
{
    settle();
    if (mark_at(script_next) == MARK_SILENCE) {
        script_next += 2;
        early = 0;
        return 0;
    }
    if (script_next >= script_size) {
        early = 0;
        return read_tail(buffer, 1);
    }
    // A byte that has not arrived early comes alone: the receiver sends an answer only after
    // the frame it answers, so a read never brings the answers to frames not yet sent.
    return bytes_to_mark(script_next, buffer, early ? size : 1, &script_next);
}

int raw_port_pending(raw_port)
{
    settle();
    std::size_t after;
    return early ? bytes_to_mark(script_next, nullptr, 1 << 30, &after) : 0;
}

void raw_port_flush(raw_port) {}

void raw_port_close(raw_port) {}

void platform_exit(int)
{
    std::longjmp(timed_out, 1);
}
