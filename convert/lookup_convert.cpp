// The lookup conversion. Owns read_buffer, line_buffer and record_handle, and the last
// conversion's reason of failure and record count; reads settings, temp_base and
// lookup_handle, writes status_text.
//
// The lookup file's size is taken whole (64 bits): a file larger than LOOKUP_SIZE_LIMIT is
// refused before anything is read, and any other is read to its end.
//
// The lookup file is read in pieces of up to 4 KB: as many 128-byte steps as the size taken at
// the start still calls for, so that no piece reaches further past that size than reads of
// 128 bytes would (a system call per 128 bytes cost more than the conversion's own work).
// Each CR ends a line (CR LF and a lone CR alike); LF bytes are dropped wherever they stand,
// so lines separated by LF alone run together. Every other byte, NUL, tab and bytes above
// 0x7F included, is part of the line. A line longer than 255 characters keeps its first 255.
// A record is the first line_length bytes of line_buffer: the line, cut or followed by zeros.
#include "lookup_convert.h"

#include "messages.h"
#include "progress.h"
#include "settings.h"
#include "zkw_dbf.h"

#include <cstdint>
#include <cstring>

enum {
    READ_STEP = 128,         // the lookup file is read in whole steps of this many bytes
    READ_BUFFER_SIZE = 4096, // at most this many bytes asked for by one read
    LINE_BUFFER_SIZE = 256   // at most 255 characters of a line, then a NUL
};

// The conversion's buffers, one instance, process-wide. line_buffer holds zeros behind the
// current line's characters, so a record never carries bytes of an earlier line.
unsigned char read_buffer[READ_BUFFER_SIZE];
char line_buffer[LINE_BUFFER_SIZE];

namespace {

// The record file being written, open from its creation to the end of the conversion.
int record_handle = -1;
// The last conversion's reason of failure and the records it appended.
convert_failure failure = CONVERT_NO_FAILURE;
int records_appended = 0;

// The record store's 0-based key offset for a 1-based setting; a setting below 1 becomes -1,
// which the record store refuses like any other bad offset.
int store_key_offset(int one_based)
{
    return one_based > 0 ? one_based - 1 : -1;
}

// Bytes to ask for when sum bytes of a file of size bytes have been read: the steps still
// needed to reach size, at most a buffer full.
int read_request(std::uint64_t sum, std::uint64_t size)
{
    std::uint64_t steps = (size - sum + READ_STEP - 1) / READ_STEP;
    return steps * READ_STEP < READ_BUFFER_SIZE ? static_cast<int>(steps * READ_STEP)
                                                : READ_BUFFER_SIZE;
}

// Appends record (line_length bytes) to the record file record_handle. Returns 1 when the
// record count grew by exactly one, else 0.
int add_lookup_record(const char *record)
{
    int before = member_in_DBF(record_handle);
    add_member(record_handle, record);
    int after = member_in_DBF(record_handle);
    if (before < 0 || after != before + 1)
        return 0;
    records_appended = after;
    return 1;
}

int fail(convert_failure why)
{
    failure = why;
    return 0;
}

int fail_closing(convert_failure why)
{
    close_DBF(record_handle);
    return fail(why);
}

int fail_rewinding(convert_failure why)
{
    platform_rewind(lookup_handle);
    return fail_closing(why);
}

// Appends the line collected so far and clears the bytes it used, so that the next line
// starts on zeros.
int end_line(int &fill)
{
    line_buffer[fill] = '\0';
    int added = add_lookup_record(line_buffer);
    std::memset(line_buffer, 0, static_cast<std::size_t>(fill));
    fill = 0;
    return added;
}

// Takes a piece of a line (bytes with no CR among them) into line_buffer after the fill
// characters already there: LF bytes are dropped, and characters beyond the 255th of the line
// are passed over. Runs between LF bytes are copied whole, as a line rarely holds any.
void take_piece(const unsigned char *bytes, int length, int &fill)
{
    while (length > 0) {
        const void *lf = std::memchr(bytes, '\n', static_cast<std::size_t>(length));
        int run = lf ? static_cast<int>(static_cast<const unsigned char *>(lf) - bytes) : length;
        int room = LINE_BUFFER_SIZE - 1 - fill;
        int copied = run < room ? run : room;
        std::memcpy(line_buffer + fill, bytes, static_cast<std::size_t>(copied));
        fill += copied;
        if (!lf)
            break;
        bytes += run + 1;
        length -= run + 1;
    }
}

// Turns the got bytes just read into read_buffer into records: each CR ends the line
// collected so far, which is appended, with the Progress box updated every PROGRESS_EVERY
// records; the bytes after the last CR stay in line_buffer for the next read. 0 when an
// append failed.
int take_read(int got, int &fill)
{
    for (int at = 0; at < got;) {
        const void *cr = std::memchr(read_buffer + at, '\r', static_cast<std::size_t>(got - at));
        int end = cr ? static_cast<int>(static_cast<const unsigned char *>(cr) - read_buffer) : got;
        take_piece(read_buffer + at, end - at, fill);
        if (!cr)
            break;
        at = end + 1;
        if (!end_line(fill))
            return 0;
        int count = member_in_DBF(record_handle);
        if (count > 0 && count % PROGRESS_EVERY == 0)
            show_progress(PROGRESS_UPDATE, count);
    }
    return 1;
}

} // namespace

convert_failure last_convert_failure()
{
    return failure;
}

int last_convert_records()
{
    return records_appended;
}

int convert_lookup()
{
    failure = CONVERT_NO_FAILURE;
    records_appended = 0;
    const std::uint64_t size = platform_file_size(lookup_handle);
    if (size > LOOKUP_SIZE_LIMIT)
        return fail(CONVERT_TOO_LARGE);
    remove_DBF(temp_base);

    record_handle = create_DBF(temp_base, settings.line_length);
    if (record_handle <= 0)
        return fail(CONVERT_NOT_CREATED);
    if (create_index(record_handle, 1, store_key_offset(settings.key1_offset),
                     settings.key1_length) <= 0)
        return fail_closing(CONVERT_NO_INDEX);
    // Without its second index the file set would be sent short of the third file the
    // settings promise, so a second key that cannot be indexed fails the conversion.
    if (second_key_configured() &&
        create_index(record_handle, 2, store_key_offset(settings.key2_offset),
                     settings.key2_length) <= 0)
        return fail_closing(CONVERT_NO_INDEX);

    // Reopened by name, the record file comes back with its (still empty) indexes open, and
    // every record appended enters them.
    close_DBF(record_handle);
    record_handle = open_DBF(temp_base);
    if (record_handle <= 0)
        return fail(CONVERT_NOT_CREATED);

    std::strcpy(status_text, MSG_PROGRESS_CONVERTING);
    progress_phase(PROGRESS_RECORDS, 0);
    std::memset(line_buffer, 0, sizeof line_buffer);

    std::uint64_t sum = 0;
    int fill = 0;
    while (sum < size) {
        int got = platform_read(lookup_handle, read_buffer, read_request(sum, size));
        // A file that ends or fails before its size was read would otherwise be read forever.
        if (got <= 0)
            return fail_rewinding(CONVERT_READ_FAILED);
        sum += static_cast<std::uint64_t>(got);
        if (!take_read(got, fill))
            return fail_rewinding(CONVERT_NOT_APPENDED);
    }
    // Characters after the last CR make the last record; it gets no progress update.
    if (fill > 0 && !end_line(fill))
        return fail_rewinding(CONVERT_NOT_APPENDED);

    close_DBF(record_handle);
    return 1;
}
