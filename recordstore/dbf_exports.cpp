/* The fifteen exports of ZKW_DBF: their argument checks, the last_error each sets, and the
 * order of their steps, built on the tree layer (dbf_tree.h) and the slot layer
 * (dbf_slot.h). Nothing below this file calls an export.
 */
#include <stdio.h>
#include <string.h>

#include "dbf_tree.h"

namespace {

/* Checks 7, 8 and 4 of the operations that take a record-file handle. Slot or -1. */
int check_record_handle(int handle)
{
    int slot = slot_of_handle(handle);
    return check_record_slot(slot) ? slot : -1;
}

/* The key check of create_index and rebuild_index (17), with keys limited to the 256 bytes
 * of the key buffers. */
int key_fits(int rs, int o, int l)
{
    int reclen = slot_table[rs].record_length;
    if (o >= 0 && o < reclen && l > 0 && l <= DBF_MAX_KEY && o + l <= reclen)
        return 1;
    last_error = DBF_ERR_KEY;
    return 0;
}

/* Takes the header of the record file just attached to slot rs: it must be usable and the
 * file at least 1024 bytes long (else last_error 4); stores path in it (a failed write: 6)
 * and makes rs a record-file slot with the record count that the file's size gives. */
int take_record_header(int rs, const char *path)
{
    uint64_t size = file_size(rs);
    if (!header_read(rs) || !header_usable() || size < DBF_RECORDS_START) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    unsigned reclen = get_u16le(header_image + HDR_RECORD_LENGTH);
    uint64_t count = (size - DBF_RECORDS_START) / reclen;
    if (count > (uint64_t)INT32_MAX) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    header_set_path(path);
    if (!header_write(rs)) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    setup_record_slot(rs, (uint16_t)reclen, (int32_t)count);
    return 1;
}

/* The checks of get_member and update_member: check_index_args (its code), then last_error
 * 0 and the record file's slot and the record under the cursor of index n. 1 when the
 * cursor stands on a record, 0 otherwise. */
int record_under_cursor(int handle, int n, int *rs, int32_t *recno)
{
    *rs = slot_of_handle(handle);
    if (!check_index_args(*rs, n))
        return 0;
    last_error = DBF_OK;
    int is = index_slot(*rs, n);
    *recno = slot_table[is].cursor_record;
    return cursor_on_record(*rs, is);
}

} // namespace

/* Creates base.db0 for records of record_length bytes. Returns the handle 64..95, or -1 with
 * last_error 1 (name length), 6 (record length 0 or above 32767, no free slot, the file
 * could not be created or written), 12 (the file exists). */
ZKW_API int create_DBF(const char *base_name, int record_length)
{
    char path[HDR_PATH_SIZE];
    if (!make_path(base_name, '0', path))
        return -1;
    int slot = lowest_free_slot();
    if (record_length < 1 || record_length > (int)DBF_MAX_RECORD_LENGTH || slot < 0) {
        last_error = DBF_ERR_NO_RESOURCE;
        return -1;
    }
    FILE *probe = fopen(path, "r");
    if (probe) {
        fclose(probe);
        last_error = DBF_ERR_EXISTS;
        return -1;
    }
    if (!file_open_into(slot, path, "w+b", DBF_ERR_NO_RESOURCE))
        return -1;
    header_init(path, (uint16_t)record_length);
    uint8_t block[2 * HDR_BLOCK_SIZE];
    memset(block, 0, sizeof block);
    memcpy(block, header_image, HDR_SIZE);
    memcpy(block + HDR_BLOCK_SIZE, header_image, HDR_SIZE);
    if (!file_write_at(slot, 0, block, sizeof block)) {
        file_detach(slot);
        remove(path);
        last_error = DBF_ERR_NO_RESOURCE;
        return -1;
    }
    setup_record_slot(slot, (uint16_t)record_length, 0);
    last_error = DBF_OK;
    return HANDLE_BASE + slot;
}

/* Opens base.db0 and every index its header lists. Returns the handle, or -1 with
 * last_error 1 (name), 6 (no free slot; or writing the path failed), 2 (the record file or an
 * index file cannot be opened, or an index file is not a valid index), 4 (not a record file:
 * wrong magic, header shorter than 314 bytes, file shorter than 1024 bytes, record length 0
 * or above 32767, a listed key longer than 256 bytes or outside the record). */
ZKW_API int open_DBF(const char *base_name)
{
    char path[HDR_PATH_SIZE];
    if (!make_path(base_name, '0', path))
        return -1;
    int rs = lowest_free_slot();
    if (rs < 0) {
        last_error = DBF_ERR_NO_RESOURCE;
        return -1;
    }
    if (!file_open_into(rs, path, "r+b", DBF_ERR_OPEN))
        return -1;
    if (!take_record_header(rs, path)) {
        file_detach(rs);
        return -1;
    }
    if (!open_indexes(rs, path)) {
        /* Nothing of the attempt stays open. */
        int code = last_error;
        close_DBF(HANDLE_BASE + rs);
        last_error = code;
        return -1;
    }
    last_error = DBF_OK;
    return HANDLE_BASE + rs;
}

/* Closes a record file and its indexes. 1, or 0 with last_error 7, 8 or 4. */
ZKW_API int close_DBF(int handle)
{
    int rs = check_record_handle(handle);
    if (rs < 0)
        return 0;
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        int h = slot_table[rs].index_handle[n];
        if (h != 0) {
            file_detach(h - HANDLE_BASE);
            slot_table[rs].index_handle[n] = 0;
        }
    }
    file_detach(rs);
    last_error = DBF_OK;
    return 1;
}

/* Deletes a closed file set. 1, or 0 with last_error 1 (name), 2 (cannot open base.db0),
 * 4 (not a record file, including a header shorter than 314 bytes). */
ZKW_API int remove_DBF(const char *base_name)
{
    char path[HDR_PATH_SIZE];
    if (!make_path(base_name, '0', path))
        return 0;
    FILE *file = fopen(path, "r+b");
    if (!file) {
        last_error = DBF_ERR_OPEN;
        return 0;
    }
    uint8_t header[HDR_SIZE];
    size_t got = fread(header, 1, HDR_SIZE, file);
    fclose(file);
    if (got != HDR_SIZE) {
        memset(header_image, 0, HDR_SIZE);
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    memcpy(header_image, header, HDR_SIZE);
    if (!header_magic_ok()) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        if (header_key_length(n) != 0) {
            set_path_digit(path, n);
            remove(path);
        }
    }
    set_path_digit(path, 0);
    remove(path);
    last_error = DBF_OK;
    return 1;
}

/* Appends a record and enters it into every open index, keeping each cursor on the record
 * it was on. 1, or 0 with last_error 7, 8, 4; 6 when the record or an index block could not
 * be written, or an index would need a block number above 65535 (then nothing is changed);
 * 4 when an index turns out to be corrupt (the record stays appended). */
ZKW_API int add_member(int handle, const void *record)
{
    int rs = check_record_handle(handle);
    if (rs < 0)
        return 0;
    slot_state *s = &slot_table[rs];
    if (s->record_count == INT32_MAX) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    const uint8_t *rec = (const uint8_t *)record;
    if (!indexes_have_room(rs, rec))
        return 0;
    int32_t r = s->record_count;
    if (!record_write(rs, r, record))
        return 0;
    s->record_count = r + 1;
    if (!insert_into_indexes(rs, r, rec))
        return 0;
    last_error = DBF_OK;
    return 1;
}

/* Number of records, or -1 with last_error 7, 8, 4. */
ZKW_API int member_in_DBF(int handle)
{
    int rs = check_record_handle(handle);
    if (rs < 0)
        return -1;
    last_error = DBF_OK;
    return slot_table[rs].record_count;
}

/* Reads the record under the cursor of index n. 1; 0 with the code of check_index_args;
 * 0 with last_error 0 when the cursor stands on no record; 0 with 4 on a short read. */
ZKW_API int get_member(int handle, int index_no, void *record)
{
    int rs = 0;
    int32_t recno = 0;
    if (!record_under_cursor(handle, index_no, &rs, &recno))
        return 0;
    return record_read(rs, recno, record);
}

/* Overwrites the record under the cursor of index n; no index is reordered. Results as
 * get_member, and 0 with 6 when the write failed. */
ZKW_API int update_member(int handle, int index_no, const void *record)
{
    int rs = 0;
    int32_t recno = 0;
    if (!record_under_cursor(handle, index_no, &rs, &recno))
        return 0;
    return record_write(rs, recno, record);
}

/* Creates empty index n on the key (key_offset, key_length). 1, or 0 with last_error 7, 8,
 * 4 (not a record file, or its header cannot be read), 13, 19 (exists), 17 (key outside
 * the record, or longer than 256 bytes), 6 (no free slot, file not created or written). */
ZKW_API int create_index(int handle, int index_no, int key_offset, int key_length)
{
    int rs = slot_of_handle(handle);
    if (!check_record_slot(rs) || !check_index_number(index_no))
        return 0;
    if (slot_table[rs].index_handle[index_no] != 0) {
        last_error = DBF_ERR_INDEX_EXISTS;
        return 0;
    }
    if (!key_fits(rs, key_offset, key_length) ||
        !index_create_file(rs, index_no, key_offset, key_length))
        return 0;
    last_error = DBF_OK;
    return 1;
}

/* Deletes index n. 1; 1 with last_error 14 when it does not exist; 0 with 7, 8, 4, 13, or
 * with 4 when the header cannot be read, or 6 when it cannot be written back (the index is
 * closed and deleted then all the same). */
ZKW_API int remove_index(int handle, int index_no)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return last_error == DBF_ERR_NO_INDEX ? 1 : 0;
    if (!index_remove_file(rs, index_no))
        return 0;
    last_error = DBF_OK;
    return 1;
}

/* Builds index n afresh over every record, in the order of index g (0: record numbers).
 * 1, or 0 with the codes of remove_index; 20 when g is not 0 and not an open index other
 * than n, or when index g does not hold every record; 17, 6 as create_index; 4 on a corrupt
 * index g or record. Index n is gone after every failure past its removal. On success the
 * cursor of index n stands on the entry inserted last. */
ZKW_API int rebuild_index(int handle, int index_no, int order_index, int key_offset,
                          int key_length)
{
    if (!remove_index(handle, index_no))
        return 0;
    int rs = slot_of_handle(handle);
    const slot_state *s = &slot_table[rs];
    int g = order_index;
    if (g != 0 && (g < 1 || g > DBF_MAX_INDEX || s->index_handle[g] == 0)) {
        last_error = DBF_ERR_ORDER;
        return 0;
    }
    if (g != 0) {
        int64_t entries = index_entries(index_slot(rs, g));
        if (entries < 0)
            return 0;
        if (entries != s->record_count) {
            last_error = DBF_ERR_ORDER;
            return 0;
        }
    }
    if (!key_fits(rs, key_offset, key_length) ||
        !index_create_file(rs, index_no, key_offset, key_length))
        return 0;
    if (!fill_index(rs, index_no, g)) {
        int code = last_error;
        remove_index(handle, index_no);
        last_error = code;
        return 0;
    }
    last_error = DBF_OK;
    return 1;
}

/* Puts the cursor of index n on the first record whose key is not below key. 1 when that
 * record's key equals key, 0 when not (also when the file or the index is empty), -1 with
 * the code of check_index_args or 4 on a corrupt index. Only entries of the index are ever
 * compared: in an index that does not hold every record, a key above all of its entries
 * answers 0 with the cursor on its last entry. */
ZKW_API int has_member(int handle, int index_no, const void *key)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return -1;
    last_error = DBF_OK;
    int32_t count = slot_table[rs].record_count;
    if (count == 0)
        return 0;
    int is = index_slot(rs, index_no);
    memcpy(key_buffers[0], key, (size_t)slot_table[is].key_length);
    int32_t t = find_key(rs, index_no, key_buffers[0], FIND_FIND);
    if (t < 0)
        return -1;
    if (t == count) {
        seek_rank(rs, index_no, count - 1, DBF_SEEK_SET);
        return 0;
    }
    int32_t got = seek_rank(rs, index_no, t, DBF_SEEK_SET);
    if (got == -1)
        return -1;
    if (got != t) {
        if (t > 0)
            seek_rank(rs, index_no, t - 1, DBF_SEEK_SET);
        last_error = DBF_OK;
        return 0;
    }
    int cmp = 0;
    if (!compare_record_key(rs, is, (uint32_t)slot_table[is].cursor_record, key_buffers[0], &cmp))
        return -1;
    return cmp == 0 ? 1 : 0;
}

/* Removes the record under the cursor of index n from the record file and from every open
 * index; the last record takes its number. Returns 1 with last_error 0. Returns 0 with
 *  - the code of check_index_args (7, 8, 4, 13, 14);
 *  - last_error 0 when the cursor of index n is on no record: the file is empty, the cursor
 *    was never set, or index n holds no entry there (an empty index, or one created on a
 *    non-empty file and not rebuilt); nothing is changed;
 *  - last_error 4 when an index turns out to be corrupt, or 6 when a write or the shortening
 *    of a file failed. A corrupt index met while looking up the record's entries changes
 *    nothing; a failure while removing entries leaves the record file as it was (the indexes
 *    handled before hold the record no more); a failure while moving the last record still
 *    moves it everywhere it can and shortens the record file.
 */
ZKW_API int delete_member(int handle, int index_no)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return 0;
    last_error = DBF_OK;
    return delete_record(rs, index_no);
}

/* Rank of the cursor of index n, or -1 with the code of check_index_args. */
ZKW_API int tell_DBF(int handle, int index_no)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return -1;
    last_error = DBF_OK;
    return slot_table[index_slot(rs, index_no)].cursor_rank;
}

/* Moves the cursor of index n; results as seek_rank, after check_index_args (-1). */
ZKW_API int lseek_DBF(int handle, int index_no, int offset, int whence)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return -1;
    last_error = DBF_OK;
    return seek_rank(rs, index_no, offset, whence);
}
