// Fuzz target: the header readers, with the input as the bytes arriving from the line (with
// the silences and early arrivals of line_double.h). The three readers take turns: the one
// that waits out silence, the one that acts on it, and the one that looks only at what has
// already arrived, until the line falls silent and the time-out ends the run.
#include "line_double.h"
#include "serial_port.h"
#include "zm_proto.h"

#include "fuzz_support.h"

namespace {

void read_headers()
{
    if (!open_com_port(0, 0))
        fuzz_fail("the scripted port does not open");
    for (;;) {
        receive_header();
        await_header();
        receive_waiting_header();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    line_script(data, size, nullptr, 0, 0);
    line_run(read_headers);
    return 0;
}
