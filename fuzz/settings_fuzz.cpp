// Fuzz target: the bytes of tabsync.ini. Any bytes are read without overrunning a buffer and
// give a lookup path that fits its buffer; and where they give settings the Properties dialog
// could have produced (texts without CR or LF, the one-character values as the digits 0 to 9,
// show_dialog 0 or 1), writing them back and reading the file again gives the same settings.
#include "fuzz_support.h"
#include "settings.h"

#include <cstring>
#include <sys/stat.h>

namespace {

// The settings file holds at most this many bytes; a longer one is read only this far.
const long SETTINGS_FILE_LIMIT = 1023;

bool dialog_text(const char *text)
{
    return std::strpbrk(text, "\r\n") == nullptr;
}

bool one_digit(int value, int zero)
{
    return value >= zero && value <= zero + 9;
}

bool dialog_could_produce(const settings_record &s)
{
    return dialog_text(s.folder) && dialog_text(s.lookup_name) && one_digit(s.com_index, -1) &&
           one_digit(s.baud_index, -1) && (s.show_dialog == 0 || s.show_dialog == 1);
}

bool same_settings(const settings_record &a, const settings_record &b)
{
    return std::strcmp(a.folder, b.folder) == 0 && std::strcmp(a.lookup_name, b.lookup_name) == 0 &&
           a.line_length == b.line_length && a.key1_offset == b.key1_offset &&
           a.key1_length == b.key1_length && a.key2_offset == b.key2_offset &&
           a.key2_length == b.key2_length && a.com_index == b.com_index &&
           a.baud_index == b.baud_index && a.show_dialog == b.show_dialog &&
           a.send_mode == b.send_mode;
}

long file_size(const char *path)
{
    struct stat info;
    return stat(path, &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

settings_record first;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static char program[FUZZ_PATH_SIZE];
    static char ini[FUZZ_PATH_SIZE];
    if (program[0] == '\0') {
        fuzz_path(program, "kestrel.exe");
        fuzz_path(ini, "tabsync.ini");
    }
    if (!fuzz_write_file(ini, data, size))
        fuzz_fail("the settings file could not be written");
    const int files = fuzz_open_files();

    if (load_settings_for(program) != 1)
        fuzz_fail("a short program folder is refused");
    compose_lookup_path();
    if (std::memchr(lookup_path, '\0', sizeof lookup_path) == nullptr)
        fuzz_fail("lookup_path is not terminated inside its buffer");

    first = settings;
    save_settings();
    if (dialog_could_produce(first) && file_size(ini) <= SETTINGS_FILE_LIMIT) {
        load_settings_for(program);
        if (!same_settings(first, settings))
            fuzz_fail("settings written and read back differ");
    }
    if (fuzz_open_files() != files)
        fuzz_fail("a file was left open");
    return 0;
}
