// A receiver behind the raw serial seam (serial_port.h) that sends what a fuzz input holds:
// reads hand over the input's bytes, then an optional tail of bytes a number of times, then
// nothing. What the sender writes is dropped. When the line has been silent for the port's
// ten reads, the process exit of the time-out comes back to line_run instead of ending the
// process, so the input ends cleanly and at once.
#ifndef KESTREL_FUZZ_LINE_DOUBLE_H
#define KESTREL_FUZZ_LINE_DOUBLE_H

#include <cstddef>
#include <cstdint>

// The bytes the next line_run receives: data, then tail tail_repeats times. The caller keeps
// both alive until line_run returns.
void line_script(const std::uint8_t *data, std::size_t size, const std::uint8_t *tail,
                 std::size_t tail_size, int tail_repeats);

// Calls body. Returns 1 when it returned, 0 when the time-out ended it (the port's exit).
int line_run(void (*body)());

#endif
