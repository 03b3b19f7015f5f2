/* The library's frame: the slot table, last_error, the shared header image and node and key
 * buffers, and the operations on whole record files and on records: create_DBF, open_DBF,
 * close_DBF, remove_DBF, add_member, member_in_DBF, get_member, update_member.
 *
 * A slot is free exactly when its FILE* is NULL. No header is kept per file: whoever needs
 * it reads the 314 bytes into header_image and writes them back at once when it changes it.
 */
#include <stdio.h>
#include <string.h>

#include "dbf_internal.h"

int last_error = 0;
slot_state slot_table[SLOT_COUNT];
uint8_t header_image[HDR_SIZE];
index_node node_buffers[3];
uint8_t key_buffers[2][DBF_MAX_KEY];

namespace {

/* Base name + ".db0" (or the digit of an index) into out; out holds 256 bytes. Returns 1
 * when the name length is 3..250, else 0 with last_error 1. */
int make_path(const char *base, char digit, char *out)
{
    size_t len = base ? strnlen(base, DBF_MAX_NAME + 1) : 0;
    if (len < (size_t)DBF_MIN_NAME || len > (size_t)DBF_MAX_NAME) {
        last_error = DBF_ERR_NAME;
        return 0;
    }
    memcpy(out, base, len);
    memcpy(out + len, ".db", 3);
    out[len + 3] = digit;
    out[len + 4] = '\0';
    return 1;
}

int magic_ok()
{
    return memcmp(header_image + HDR_MAGIC, DBF_MAGIC, DBF_MAGIC_SIZE) == 0;
}

int header_key_length(int n) { return get_u16le(header_image + HDR_KEY_LENGTH + 2 * n); }
int header_key_offset(int n) { return get_u16le(header_image + HDR_KEY_OFFSET + 2 * n); }

/* Whether header_image describes a record file this library can work with: the magic text,
 * a record length of 1..32767, and keys of 1..256 bytes inside the record. */
int header_usable()
{
    if (!magic_ok())
        return 0;
    unsigned reclen = get_u16le(header_image + HDR_RECORD_LENGTH);
    if (reclen == 0 || reclen > DBF_MAX_RECORD_LENGTH)
        return 0;
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        int len = header_key_length(n);
        if (len != 0 && (len > DBF_MAX_KEY || header_key_offset(n) + len > (int)reclen))
            return 0;
    }
    return 1;
}

void set_header_path(const char *path)
{
    memset(header_image + HDR_PATH, 0, HDR_PATH_SIZE);
    memcpy(header_image + HDR_PATH, path, strlen(path));
}

/* Checks 7, 8 and 4 of the operations that take a record-file handle. Slot or -1. */
int check_record_handle(int handle)
{
    int slot = slot_of_handle(handle);
    if (slot < 0) {
        last_error = DBF_ERR_HANDLE;
        return -1;
    }
    if (!slot_table[slot].file) {
        last_error = DBF_ERR_FREE_SLOT;
        return -1;
    }
    if (slot_table[slot].kind != KIND_RECORD_FILE) {
        last_error = DBF_ERR_NOT_DBF;
        return -1;
    }
    return slot;
}

/* Follows parent from block 1 to the root of index slot is; sets root_block. 1, or 0 with 4. */
int find_root(int is)
{
    uint32_t blocks = index_block_count(is);
    index_node *node = &node_buffers[NODE_WORK];
    uint32_t blk = 1;
    for (uint32_t steps = 0; steps <= blocks; steps++) {
        if (!node_read(is, blk, node))
            return 0;
        if (node->parent == 0) {
            slot_table[is].root_block = node->self;
            slot_table[is].cursor_block = node->self;
            return 1;
        }
        blk = node->parent;
    }
    last_error = DBF_ERR_CORRUPT;
    return 0;
}

/* Whether an index file's length can be that of an index: whole blocks, at least the two
 * of an empty index, and no block number above 65535. */
int index_size_ok(int is)
{
    uint64_t size = file_size(is);
    return size % BLOCK_SIZE == 0 && size >= 2 * BLOCK_SIZE &&
           size / BLOCK_SIZE <= (uint64_t)MAX_BLOCK + 1;
}

} // namespace

int slot_of_handle(int handle)
{
    if (handle < HANDLE_BASE || handle >= HANDLE_BASE + SLOT_COUNT)
        return -1;
    return handle - HANDLE_BASE;
}

int lowest_free_slot()
{
    for (int s = 0; s < SLOT_COUNT; s++)
        if (!slot_table[s].file)
            return s;
    return -1;
}

int check_index_args(int slot, int n)
{
    if (slot < 0 || slot >= SLOT_COUNT) {
        last_error = DBF_ERR_HANDLE;
        return 0;
    }
    if (!slot_table[slot].file) {
        last_error = DBF_ERR_FREE_SLOT;
        return 0;
    }
    if (slot_table[slot].kind != KIND_RECORD_FILE) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    if (n < 1 || n > DBF_MAX_INDEX) {
        last_error = DBF_ERR_INDEX_NO;
        return 0;
    }
    if (slot_table[slot].index_handle[n] == 0) {
        last_error = DBF_ERR_NO_INDEX;
        return 0;
    }
    return 1;
}

int index_slot(int rs, int n) { return slot_table[rs].index_handle[n] - HANDLE_BASE; }

/* Makes slot rs, whose file is attached, a record file with no open index. */
static void setup_record_slot(int rs, uint16_t record_length, int32_t record_count)
{
    slot_state *s = &slot_table[rs];
    FILE *keep = s->file;
    file_cache cache = s->cache;
    memset(s, 0, sizeof *s);
    s->file = keep;
    s->cache = cache;
    s->kind = KIND_RECORD_FILE;
    s->record_length = record_length;
    s->record_count = record_count;
}

/* Puts a freshly opened index file n into slot is for record file slot rs. */
void setup_index_slot(int rs, int is, int n, int key_offset, int key_length)
{
    slot_state *x = &slot_table[is];
    x->kind = KIND_INDEX_FILE;
    x->record_length = 0;
    x->key_offset = (int16_t)key_offset;
    x->key_length = (int16_t)key_length;
    x->cursor_block = 1;
    x->cursor_pos = 0;
    x->cursor_rank = 0;
    x->cursor_record = 0;
    x->root_block = 1;
    x->record_count = 0;
    memset(x->index_handle, 0, sizeof x->index_handle);
    slot_table[rs].index_handle[n] = (int16_t)(HANDLE_BASE + is);
}


int header_read(int rs)
{
    if (!file_read_at(rs, 0, header_image, HDR_SIZE)) {
        memset(header_image, 0, HDR_SIZE);
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    return 1;
}

int header_write(int rs) { return file_write_at(rs, 0, header_image, HDR_SIZE); }

static uint64_t record_offset(int rs, int32_t recno)
{
    return DBF_RECORDS_START + (uint64_t)recno * slot_table[rs].record_length;
}

int record_read(int rs, int32_t recno, void *buf)
{
    if (recno < 0 || recno >= slot_table[rs].record_count) {
        last_error = DBF_ERR_CORRUPT;
        return 0;
    }
    return file_read_at(rs, record_offset(rs, recno), buf, slot_table[rs].record_length);
}

int record_write(int rs, int32_t recno, const void *buf)
{
    if (recno < 0 || recno > slot_table[rs].record_count) {
        last_error = DBF_ERR_CORRUPT;
        return 0;
    }
    return file_write_at(rs, record_offset(rs, recno), buf, slot_table[rs].record_length);
}

int record_key(int rs, int is, int32_t recno, uint8_t *key)
{
    const slot_state *x = &slot_table[is];
    if (recno < 0 || recno >= slot_table[rs].record_count ||
        x->key_offset + x->key_length > slot_table[rs].record_length) {
        last_error = DBF_ERR_CORRUPT;
        return 0;
    }
    return file_read_at(rs, record_offset(rs, recno) + (uint64_t)x->key_offset, key,
                        (size_t)x->key_length);
}

int record_file_shorten(int rs, int32_t count)
{
    if (count < 0) {
        last_error = DBF_ERR_CORRUPT;
        return 0;
    }
    return file_shorten(rs, record_offset(rs, count));
}

/* ---- exports ---- */

/* Creates base.db0 for records of record_length bytes. Returns the handle 64..95, or -1 with
 * last_error 1 (name length), 6 (record length 0 or above 32767, no free slot, the file
 * could not be created or written), 12 (the file exists). */
ZKW_API int create_DBF(const char *base_name, int record_length)
{
    char path[HDR_PATH_SIZE];
    if (!make_path(base_name, '0', path))
        return -1;
    if (record_length < 1 || record_length > (int)DBF_MAX_RECORD_LENGTH) {
        last_error = DBF_ERR_NO_SLOT;
        return -1;
    }
    int slot = lowest_free_slot();
    if (slot < 0) {
        last_error = DBF_ERR_NO_SLOT;
        return -1;
    }
    FILE *probe = fopen(path, "r");
    if (probe) {
        fclose(probe);
        last_error = DBF_ERR_EXISTS;
        return -1;
    }
    FILE *file = fopen(path, "w+b");
    if (!file) {
        last_error = DBF_ERR_NO_SLOT;
        return -1;
    }
    if (!file_attach(slot, file)) {
        fclose(file);
        remove(path);
        last_error = DBF_ERR_NO_SLOT;
        return -1;
    }
    memset(header_image, 0, HDR_SIZE);
    memcpy(header_image + HDR_MAGIC, DBF_MAGIC, DBF_MAGIC_SIZE);
    set_header_path(path);
    put_u16le(header_image + HDR_RECORD_LENGTH, (uint16_t)record_length);
    uint8_t block[2 * HDR_BLOCK_SIZE];
    memset(block, 0, sizeof block);
    memcpy(block, header_image, HDR_SIZE);
    memcpy(block + HDR_BLOCK_SIZE, header_image, HDR_SIZE);
    if (!file_write_at(slot, 0, block, sizeof block)) {
        file_detach(slot);
        remove(path);
        last_error = DBF_ERR_NO_SLOT;
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
        last_error = DBF_ERR_NO_SLOT;
        return -1;
    }
    FILE *file = fopen(path, "r+b");
    if (!file) {
        last_error = DBF_ERR_OPEN;
        return -1;
    }
    if (!file_attach(rs, file)) {
        fclose(file);
        last_error = DBF_ERR_OPEN;
        return -1;
    }
    uint64_t size = file_size(rs);
    if (!header_read(rs) || !header_usable() || size < DBF_RECORDS_START) {
        file_detach(rs);
        last_error = DBF_ERR_NOT_DBF;
        return -1;
    }
    unsigned reclen = get_u16le(header_image + HDR_RECORD_LENGTH);
    uint64_t count = (size - DBF_RECORDS_START) / reclen;
    if (count > (uint64_t)INT32_MAX) {
        file_detach(rs);
        last_error = DBF_ERR_NOT_DBF;
        return -1;
    }
    set_header_path(path);
    if (!header_write(rs)) {
        file_detach(rs);
        last_error = DBF_ERR_WRITE;
        return -1;
    }
    setup_record_slot(rs, (uint16_t)reclen, (int32_t)count);

    int handle = HANDLE_BASE + rs;
    /* The header image is shared: keep the key fields of this file while indexes open. */
    int key_length[DBF_MAX_INDEX + 1], key_offset[DBF_MAX_INDEX + 1];
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        key_length[n] = header_key_length(n);
        key_offset[n] = header_key_offset(n);
    }
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        if (key_length[n] == 0)
            continue;
        int is = lowest_free_slot();
        if (is < 0) {
            close_DBF(handle);
            last_error = DBF_ERR_NO_SLOT;
            return -1;
        }
        path[strlen(path) - 1] = (char)('0' + n);
        FILE *ifile = fopen(path, "r+b");
        if (!ifile) {
            close_DBF(handle);
            last_error = DBF_ERR_OPEN;
            return -1;
        }
        if (!file_attach(is, ifile)) {
            fclose(ifile);
            close_DBF(handle);
            last_error = DBF_ERR_OPEN;
            return -1;
        }
        setup_index_slot(rs, is, n, key_offset[n], key_length[n]);
        if (!index_size_ok(is) || !find_root(is)) {
            close_DBF(handle);
            last_error = DBF_ERR_OPEN;
            return -1;
        }
        seek_rank(rs, n, 0, DBF_SEEK_SET);
    }
    last_error = DBF_OK;
    return handle;
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
    if (!magic_ok()) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    size_t len = strlen(path);
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        if (header_key_length(n) != 0) {
            path[len - 1] = (char)('0' + n);
            remove(path);
        }
    }
    path[len - 1] = '0';
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
        last_error = DBF_ERR_WRITE;
        return 0;
    }
    const uint8_t *rec = (const uint8_t *)record;
    for (int n = 1; n <= DBF_MAX_INDEX; n++)
        if (s->index_handle[n] != 0 &&
            !index_has_room(rs, n, rec + slot_table[index_slot(rs, n)].key_offset))
            return 0;
    int32_t r = s->record_count;
    if (!record_write(rs, r, record))
        return 0;
    s->record_count = r + 1;
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        if (s->index_handle[n] == 0)
            continue;
        int is = index_slot(rs, n);
        int32_t c = slot_table[is].cursor_rank;
        int32_t i = insert_entry(rs, n, r, rec + slot_table[is].key_offset);
        if (i < 0)
            return 0;
        int32_t target = c >= i ? c + 1 : c;
        if (seek_rank(rs, n, target, DBF_SEEK_SET) != target)
            seek_rank(rs, n, i, DBF_SEEK_SET);
    }
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

int cursor_on_record(int rs, int is)
{
    int32_t r = slot_table[is].cursor_record;
    return r >= 0 && r < slot_table[rs].record_count;
}

/* Reads the record under the cursor of index n. 1; 0 with the code of check_index_args;
 * 0 with last_error 0 when the cursor stands on no record; 0 with 4 on a short read. */
ZKW_API int get_member(int handle, int index_no, void *record)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return 0;
    last_error = DBF_OK;
    int is = index_slot(rs, index_no);
    if (!cursor_on_record(rs, is))
        return 0;
    return record_read(rs, slot_table[is].cursor_record, record);
}

/* Overwrites the record under the cursor of index n; no index is reordered. Results as
 * get_member, and 0 with 6 when the write failed. */
ZKW_API int update_member(int handle, int index_no, const void *record)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return 0;
    last_error = DBF_OK;
    int is = index_slot(rs, index_no);
    if (!cursor_on_record(rs, is))
        return 0;
    return record_write(rs, slot_table[is].cursor_record, record);
}
