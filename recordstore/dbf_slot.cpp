/* The slot table, last_error and the header image, and the operations on slots, file names,
 * headers and records that the tree layer and the exports are built from.
 *
 * A slot is free exactly when its FILE* is NULL. No header is kept per file: whoever needs
 * it reads the 314 bytes into header_image and writes them back at once when it changes it.
 */
#include <stdlib.h>
#include <string.h>

#include "dbf_slot.h"

int last_error = 0;
slot_state slot_table[SLOT_COUNT];
uint8_t header_image[HDR_SIZE];

namespace {

/* Records are copied in pieces of this size. */
constexpr size_t COPY_PIECE = 512;

} // namespace

int corrupt()
{
    last_error = DBF_ERR_NOT_DBF;
    return 0;
}

/* ---- slots ---- */

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

int check_record_slot(int slot)
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
    return 1;
}

int check_index_number(int n)
{
    if (n < 1 || n > DBF_MAX_INDEX) {
        last_error = DBF_ERR_INDEX_NO;
        return 0;
    }
    return 1;
}

int check_index_args(int slot, int n)
{
    if (!check_record_slot(slot) || !check_index_number(n))
        return 0;
    if (slot_table[slot].index_handle[n] == 0) {
        last_error = DBF_ERR_NO_INDEX;
        return 0;
    }
    return 1;
}

int index_slot(int rs, int n) { return slot_table[rs].index_handle[n] - HANDLE_BASE; }

void setup_record_slot(int rs, uint16_t record_length, int32_t record_count)
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
    s->key_epoch = 1;
}

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
    x->keys = key_cache{};
    slot_table[rs].index_handle[n] = (int16_t)(HANDLE_BASE + is);
}

int cursor_on_record(int rs, int is)
{
    int32_t r = slot_table[is].cursor_record;
    return r >= 0 && r < slot_table[rs].record_count;
}

/* ---- file names ---- */

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

void set_path_digit(char *path, int n) { path[strlen(path) - 1] = (char)('0' + n); }

int index_path_from_header(int n, char *out)
{
    memcpy(out, header_image + HDR_PATH, HDR_PATH_SIZE);
    size_t len = strnlen(out, HDR_PATH_SIZE);
    if (len == 0 || len == HDR_PATH_SIZE)
        return corrupt();
    out[len - 1] = (char)('0' + n);
    return 1;
}

/* ---- header ---- */

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

int header_magic_ok()
{
    return memcmp(header_image + HDR_MAGIC, DBF_MAGIC, DBF_MAGIC_SIZE) == 0;
}

int header_key_length(int n) { return get_u16le(header_image + HDR_KEY_LENGTH + 2 * n); }
int header_key_offset(int n) { return get_u16le(header_image + HDR_KEY_OFFSET + 2 * n); }

void header_set_key(int n, int key_offset, int key_length)
{
    put_u16le(header_image + HDR_KEY_LENGTH + 2 * n, (uint16_t)key_length);
    put_u16le(header_image + HDR_KEY_OFFSET + 2 * n, (uint16_t)key_offset);
}

int header_usable()
{
    if (!header_magic_ok())
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

void header_set_path(const char *path)
{
    memset(header_image + HDR_PATH, 0, HDR_PATH_SIZE);
    memcpy(header_image + HDR_PATH, path, strlen(path));
}

void header_init(const char *path, uint16_t record_length)
{
    memset(header_image, 0, HDR_SIZE);
    memcpy(header_image + HDR_MAGIC, DBF_MAGIC, DBF_MAGIC_SIZE);
    header_set_path(path);
    put_u16le(header_image + HDR_RECORD_LENGTH, record_length);
}

/* ---- records ---- */

uint64_t record_offset(int rs, int32_t recno)
{
    return DBF_RECORDS_START + (uint64_t)recno * slot_table[rs].record_length;
}

int record_read(int rs, int32_t recno, void *buf)
{
    if (recno < 0 || recno >= slot_table[rs].record_count)
        return corrupt();
    return file_read_at(rs, record_offset(rs, recno), buf, slot_table[rs].record_length);
}

int record_write(int rs, int32_t recno, const void *buf)
{
    if (recno < 0 || recno > slot_table[rs].record_count)
        return corrupt();
    if (recno < slot_table[rs].record_count)
        keys_changed(rs);
    return file_write_at(rs, record_offset(rs, recno), buf, slot_table[rs].record_length);
}

int record_key(int rs, int is, int32_t recno, uint8_t *key)
{
    const slot_state *x = &slot_table[is];
    if (recno < 0 || recno >= slot_table[rs].record_count ||
        x->key_offset + x->key_length > slot_table[rs].record_length)
        return corrupt();
    return file_read_at(rs, record_offset(rs, recno) + (uint64_t)x->key_offset, key,
                        (size_t)x->key_length);
}

void keys_changed(int rs) { slot_table[rs].key_epoch++; }

int record_copy(int rs, int32_t from, int32_t to)
{
    keys_changed(rs);
    uint8_t piece[COPY_PIECE];
    size_t length = slot_table[rs].record_length;
    uint64_t src = record_offset(rs, from);
    uint64_t dst = record_offset(rs, to);
    for (size_t done = 0; done < length;) {
        size_t len = length - done < COPY_PIECE ? length - done : COPY_PIECE;
        if (!file_read_at(rs, src + done, piece, len) || !file_write_at(rs, dst + done, piece, len))
            return 0;
        done += len;
    }
    return 1;
}

int record_file_shorten(int rs, int32_t count)
{
    keys_changed(rs);
    if (count < 0)
        return corrupt();
    return file_shorten(rs, record_offset(rs, count));
}
