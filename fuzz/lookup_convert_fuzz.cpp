// Fuzz target: the lookup conversion, with the settings' numbers and the lookup file taken
// from the input. A conversion succeeds exactly when the keys fit the line length, and then
// the file set is sound (checked by the checker) and holds one record per line, each the
// line cut to the line length or followed by zeros, as a plain model of the lines computes.
//
// Input: line_length (1 byte), key1_offset, key1_length, key2_offset, key2_length (signed
// 32-bit, little-endian), then the bytes of the lookup file.
#include "dbf_check.h"
#include "fuzz_support.h"
#include "lookup_convert.h"
#include "settings.h"

#include <cstdio>
#include <cstring>

namespace {

const std::size_t SETTINGS_BYTES = 17;
const std::size_t RECORDS_AT = 1024;
const int LINE_LIMIT = 255;             // characters of a line kept
const std::size_t TEXT_LIMIT = 1 << 14; // lookup file bytes tried

char lookup[FUZZ_PATH_SIZE];
char db0[FUZZ_PATH_SIZE];
check_report report;

// The record file as written, and the model's records for comparison.
std::uint8_t written[RECORDS_AT + TEXT_LIMIT * 255 + 1];
std::uint8_t line[LINE_LIMIT];

std::int32_t i32le(const std::uint8_t *p)
{
    return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                     static_cast<std::uint32_t>(p[3]) << 24);
}

bool key_fits(std::int64_t offset, std::int64_t length)
{
    return offset >= 1 && length >= 1 && offset - 1 + length <= settings.line_length;
}

bool keys_usable()
{
    return key_fits(settings.key1_offset, settings.key1_length) &&
           (!second_key_configured() || key_fits(settings.key2_offset, settings.key2_length));
}

std::size_t read_record_file()
{
    std::FILE *file = std::fopen(db0, "rb");
    if (!file)
        fuzz_fail("a successful conversion left no record file");
    std::size_t size = std::fread(written, 1, sizeof written, file);
    std::fclose(file);
    return size;
}

// Compares record `count` of the file with the line the model has collected.
void compare_record(std::size_t size, int count, int fill)
{
    const std::size_t length = settings.line_length;
    const std::size_t at = RECORDS_AT + static_cast<std::size_t>(count) * length;
    if (at + length > size)
        fuzz_fail("a line of the lookup file has no record");
    for (std::size_t k = 0; k < length; k++) {
        std::uint8_t expected = k < static_cast<std::size_t>(fill) ? line[k] : 0;
        if (written[at + k] != expected)
            fuzz_fail("a record differs from its line");
    }
}

// Splits the lookup file into lines (each CR ends one, LF is dropped, at most 255
// characters kept) and compares each with its record, then the count.
void compare_with_model(const std::uint8_t *text, std::size_t text_size)
{
    const std::size_t size = read_record_file();
    int count = 0;
    int fill = 0;
    for (std::size_t i = 0; i < text_size; i++) {
        if (text[i] == '\r') {
            compare_record(size, count++, fill);
            fill = 0;
        } else if (text[i] != '\n' && fill < LINE_LIMIT) {
            line[fill++] = text[i];
        }
    }
    if (fill > 0)
        compare_record(size, count++, fill);
    if (size != RECORDS_AT + static_cast<std::size_t>(count) * settings.line_length)
        fuzz_fail("the record file holds records of no line");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (lookup[0] == '\0') {
        char program[FUZZ_PATH_SIZE];
        fuzz_path(program, "kestrel.exe");
        fuzz_path(lookup, "LOOKUP.TXT");
        if (load_settings_for(program) != 1)
            fuzz_fail("a short program folder is refused");
        std::snprintf(db0, sizeof db0, "%s.db0", temp_base);
    }
    if (size < SETTINGS_BYTES || size - SETTINGS_BYTES > TEXT_LIMIT)
        return -1; // not an input of this target: libFuzzer keeps it out of the corpus
    settings.line_length = data[0];
    settings.key1_offset = i32le(data + 1);
    settings.key1_length = i32le(data + 5);
    settings.key2_offset = i32le(data + 9);
    settings.key2_length = i32le(data + 13);
    const std::uint8_t *text = data + SETTINGS_BYTES;
    const std::size_t text_size = size - SETTINGS_BYTES;
    if (!fuzz_write_file(lookup, text, text_size))
        fuzz_fail("the lookup file could not be written");

    const int files = fuzz_open_files();
    lookup_handle = platform_open_read(lookup);
    const int converted = convert_lookup();
    platform_close(lookup_handle);
    lookup_handle = PLATFORM_FILE_INVALID;
    if (fuzz_open_files() != files)
        fuzz_fail("a file was left open");

    if (converted != (keys_usable() ? 1 : 0))
        fuzz_fail(converted ? "a conversion with keys outside the line succeeded"
                            : "a conversion with usable keys failed");
    if (converted) {
        check_report_init(&report, 1);
        if (check_file_set(temp_base, &report) != 0) {
            print_check_report(&report, stderr);
            fuzz_fail("a converted file set is not sound");
        }
        compare_with_model(text, text_size);
    }
    return 0;
}
