// Fuzz target: the record store on a file set made of the input's bytes, then every export in
// a fixed sequence: seeks, reads and key searches through each index, updates, appends,
// deletions, index creation, rebuilding and removal, a second set created, filled, reopened
// and removed, and calls with handles that name no record file. Any bytes must be
// refused or worked on without a fault, and every file opened is closed again. A set that
// the checker finds sound must open, keep every record findable by its own key, and stay
// sound through the whole sequence.
//
// Input: u32 LE lengths of the .db0, .db1 and .db2 images, the three images back to back
// (each cut to what is there; an empty image means no file), then up to five bytes of the
// sequence's numbers: records appended, records deleted, the rank step between deletions,
// where appended records are cut from the input's records, and how the files are cached (a
// mapping past their ends, mappings that end at them as on Windows, or heap memory).
#include "dbf_check.h"
#include "dbf_format.h"
#include "dbf_slot.h"
#include "fuzz_support.h"
#include "zkw_dbf.h"

#include <cstdio>
#include <cstring>

namespace {

const int WALK_STEPS = 60;
const int REBUILD_LIMIT = 200; // records: a rebuild enters every one anew
const int HANDLE_BELOW = 63;   // handles are 64 to 95
const int HANDLE_ABOVE = 95;   // the last slot, free while fewer than 32 files are open

char base[FUZZ_PATH_SIZE];
char names[3][FUZZ_PATH_SIZE];
char fresh[FUZZ_PATH_SIZE]; // a set created by the sequence
unsigned char record[DBF_MAX_RECORD_LENGTH];
unsigned char other[DBF_MAX_RECORD_LENGTH];
check_report report;

struct file_set {
    const std::uint8_t *image[3];
    std::size_t size[3];
    int record_length;
    // The sequence's numbers.
    int appends;
    int deletions;
    int stride;
    int mix;
    int cache_mode;
};

std::uint32_t u32le(const std::uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

int header_u16(const file_set &set, std::size_t at)
{
    return at + 2 <= set.size[0] ? set.image[0][at] | set.image[0][at + 1] << 8 : 0;
}

void split_input(const std::uint8_t *data, std::size_t size, file_set &set)
{
    std::size_t at = size < 12 ? size : 12;
    for (int i = 0; i < 3; i++) {
        std::size_t want = size >= 12 ? u32le(data + 4 * i) : 0;
        std::size_t left = size - at;
        set.size[i] = want < left ? want : left;
        set.image[i] = data + at;
        at += set.size[i];
    }
    const std::uint8_t defaults[5] = {60, 40, 37, 7, 0};
    std::uint8_t numbers[5];
    for (int i = 0; i < 5; i++)
        numbers[i] = at + i < size ? data[at + i] : defaults[i];
    set.appends = numbers[0];
    set.deletions = numbers[1];
    set.stride = numbers[2] | 1;
    set.mix = numbers[3];
    const int modes[3] = {CACHE_MAP, CACHE_MAP_AT_END, CACHE_HEAP};
    set.cache_mode = modes[numbers[4] % 3];
    set.record_length = header_u16(set, HDR_RECORD_LENGTH);
}

void write_files(const file_set &set)
{
    for (int i = 0; i < 3; i++) {
        std::remove(names[i]);
        if (set.size[i] > 0 && !fuzz_write_file(names[i], set.image[i], set.size[i]))
            fuzz_fail("a file of the set could not be written");
    }
}

int sound_set()
{
    check_report_init(&report, 1);
    return check_file_set(base, &report) == 0;
}

// Record i of those appended: bytes of the input's record area taken from a moving start,
// so that some keys repeat and some are new.
void make_record(const file_set &set, int i, unsigned char *out)
{
    const std::uint8_t *from = set.image[0];
    std::size_t size = set.size[0];
    const std::size_t records = size > DBF_RECORDS_START ? size - DBF_RECORDS_START : 0;
    for (int k = 0; k < set.record_length; k++)
        out[k] = records > 0
                     ? from[DBF_RECORDS_START + (static_cast<std::size_t>(i) * set.mix + k) % records]
                     : static_cast<unsigned char>(i + k);
}

// Walks index n from its first rank, reading each record, writing it back unchanged and
// searching it by its key.
void walk_index(const file_set &set, int handle, int n, int sound)
{
    const bool listed = n >= 1 && n <= DBF_MAX_INDEX;
    const int key_length = listed ? header_u16(set, HDR_KEY_LENGTH + 2 * n) : 0;
    int key_offset = listed ? header_u16(set, HDR_KEY_OFFSET + 2 * n) : 0;
    if (key_offset + key_length > set.record_length)
        key_offset = 0;
    tell_DBF(handle, n);
    lseek_DBF(handle, n, -1, DBF_SEEK_END);
    get_member(handle, n, record);
    lseek_DBF(handle, n, 0, DBF_SEEK_SET);
    for (int step = 0; step < WALK_STEPS; step++) {
        if (get_member(handle, n, record) != 1)
            break;
        update_member(handle, n, record);
        int rank = tell_DBF(handle, n);
        if (has_member(handle, n, record + key_offset) != 1 && sound && key_length > 0)
            fuzz_fail("a record of a sound set is not found by its own key");
        lseek_DBF(handle, n, rank + 1, DBF_SEEK_SET);
        lseek_DBF(handle, n, 1, DBF_SEEK_CUR);
        lseek_DBF(handle, n, -1, DBF_SEEK_CUR);
    }
}

void walk_indexes(const file_set &set, int handle, int sound)
{
    for (int n = 0; n <= DBF_MAX_INDEX + 1; n++)
        walk_index(set, handle, n, sound);
}

// Appends, deletes at spread ranks, and makes, rebuilds and drops indexes.
void change_set(const file_set &set, int handle)
{
    for (int i = 0; i < set.appends; i++) {
        make_record(set, i, other);
        add_member(handle, other);
    }
    for (int i = 0; i < set.deletions; i++) {
        int n = 1 + i % 2;
        int count = member_in_DBF(handle);
        if (count <= 0)
            break;
        lseek_DBF(handle, n, (i * set.stride) % count, DBF_SEEK_SET);
        delete_member(handle, n);
    }
    const int length = set.record_length < 4 ? set.record_length : 4;
    create_index(handle, 3, 0, length);
    if (member_in_DBF(handle) <= REBUILD_LIMIT) {
        rebuild_index(handle, 1, 0, header_u16(set, HDR_KEY_OFFSET + 2),
                      header_u16(set, HDR_KEY_LENGTH + 2));
        rebuild_index(handle, 3, 0, 0, length);
        rebuild_index(handle, 4, 3, set.record_length - length, length);
    }
    remove_index(handle, 3);
    make_record(set, set.appends, other);
    add_member(handle, other);
    lseek_DBF(handle, 4, 0, DBF_SEEK_SET);
    delete_member(handle, 4);
}

// Handles that name no record file, a set created beside the input's and filled from it
// through the cursor of index 1, reopened and removed.
void frame_calls(const file_set &set, int handle)
{
    member_in_DBF(HANDLE_BELOW);
    member_in_DBF(handle + 1); // the first index file's slot, if it has one
    get_member(handle + 1, 1, record);
    close_DBF(HANDLE_ABOVE);
    if (create_DBF(base, set.record_length) >= 0)
        fuzz_fail("a record file was created over an existing one");
    remove_DBF(fresh);
    const int created = create_DBF(fresh, set.record_length);
    if (created < 0)
        return;
    create_index(created, 1, 0, set.record_length < 8 ? set.record_length : 8);
    lseek_DBF(handle, 1, 0, DBF_SEEK_SET);
    for (int i = 0; i < WALK_STEPS && get_member(handle, 1, record) == 1; i++) {
        add_member(created, record);
        lseek_DBF(handle, 1, 1, DBF_SEEK_CUR);
    }
    close_DBF(created);
    const int reopened = open_DBF(fresh);
    lseek_DBF(reopened, 1, 0, DBF_SEEK_END);
    delete_member(reopened, 1);
    close_DBF(reopened);
    remove_DBF(fresh);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (base[0] == '\0') {
        fuzz_path(base, "set");
        fuzz_path(fresh, "new");
        for (int i = 0; i < 3; i++)
            std::snprintf(names[i], sizeof names[i], "%s.db%d", base, i);
    }
    file_set set;
    split_input(data, size, set);
    cache_mode = set.cache_mode;
    write_files(set);
    const int files = fuzz_open_files();

    const int sound = sound_set();
    int handle = open_DBF(base);
    if (handle >= 0) {
        if (set.record_length < 1 ||
            set.record_length > static_cast<int>(DBF_MAX_RECORD_LENGTH))
            fuzz_fail("a record file with an unusable record length was opened");
        member_in_DBF(handle);
        walk_indexes(set, handle, sound);
        change_set(set, handle);
        walk_indexes(set, handle, sound);
        frame_calls(set, handle);
        close_DBF(handle);
        if (sound && !sound_set()) {
            print_check_report(&report, stderr);
            fuzz_fail("a sound file set is no longer sound");
        }
    } else if (sound) {
        fuzz_fail("a sound file set is refused");
    }
    remove_DBF(base);
    if (fuzz_open_files() != files)
        fuzz_fail("a file was left open");
    return 0;
}
