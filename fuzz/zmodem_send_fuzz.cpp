// Fuzz target: the batch send, with the input as everything the receiver sends (with the
// silences and early arrivals of line_double.h). Two files go out: one of three subpackets
// and an empty one. After the input the receiver keeps sending
// ZABORT for a while, so that a sender that acts on its headers ends with its files closed;
// only a sender that ignores even those meets the time-out, which ends the run at once.
#include "line_double.h"
#include "zmodem.h"

#include "fuzz_support.h"

#include <cstring>

namespace {

// ZABORT with position 0 as a hex header, as receivers send it.
const char zabort[] = "**\x18" "B0700000000" "67d4\r\n\x11";
const int ZABORT_REPEATS = 64;

char paths_text[2][FUZZ_PATH_SIZE];
const char *paths[2] = {paths_text[0], paths_text[1]};
const char names[2][256] = {"dbf1.db0", "dbf1.db1"};

void make_files()
{
    std::uint8_t data[2100];
    for (std::size_t i = 0; i < sizeof data; i++)
        data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8)); // escapes included
    fuzz_path(paths_text[0], "send.db0");
    fuzz_path(paths_text[1], "send.db1");
    if (!fuzz_write_file(paths[0], data, sizeof data) || !fuzz_write_file(paths[1], data, 0))
        fuzz_fail("the files to send could not be written");
}

void send_files()
{
    zmodem_send_files(2, paths, names, 0, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (paths_text[0][0] == '\0')
        make_files();
    line_script(data, size, reinterpret_cast<const std::uint8_t *>(zabort), std::strlen(zabort),
                ZABORT_REPEATS);
    const int files = fuzz_open_files();
    line_run(send_files);
    if (fuzz_open_files() != files)
        fuzz_fail("a file was left open");
    return 0;
}
