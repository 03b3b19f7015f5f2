// A receiver behind the raw serial seam (serial_port.h) that sends what a fuzz input holds,
// then an optional tail of bytes a number of times, then nothing. What the sender writes is
// dropped. When the line has been silent for the port's ten reads, the process exit of the
// time-out comes back to line_run instead of ending the process, so the input ends cleanly
// and at once.
//
// The input is the line's bytes with two marks, each 0xFF and a byte after it:
//   FF 00  one read that finds nothing: the receiver said nothing for a read's wait
//   FF 01  the bytes up to the next mark have already arrived when the sender looks, as an
//          answer the receiver sent early would have (raw_port_pending counts them)
//   FF FF  the byte 0xFF itself
// A 0xFF before any other byte is that byte 0xFF. Bytes that are not marked early arrive
// one at a time, as the sender reads them.
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
