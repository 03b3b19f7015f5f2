/* The record store's lower layer: slots, files, headers and records.
 *
 * It owns the slot table, last_error and the shared header image; the files of the slots
 * with their write-through caches (dbf_file.cpp, over the OS seam of dbf_os.h); and the
 * slot checks, file names, header and record I/O (dbf_slot.cpp). It knows nothing of index
 * trees: the tree layer (dbf_tree.h) and the exports (dbf_exports.cpp) are built on it.
 *
 * Every change made through these functions has reached the operating system (the file)
 * when the function returns: the caches are write-through.
 *
 * Unless a comment says otherwise, a function returning int returns 1 on success and 0 on
 * failure, and on failure it has set last_error: DBF_ERR_NOT_DBF (4) when a file holds
 * something that cannot be valid (a block or record number out of range, a node count above
 * 49, a parent chain that does not close, a short read), DBF_ERR_NO_RESOURCE (6) when a
 * write or a truncation failed.
 */
#ifndef DBF_SLOT_H
#define DBF_SLOT_H

#include <stdint.h>
#include <stdio.h>

#include "dbf_format.h"
#include "zkw_dbf.h"

/* ---- last_error codes: one name per code, saying what the caller learns from it ---- */
enum {
    DBF_OK = 0,
    DBF_ERR_NAME = 1,          /* base name shorter than 3 or longer than 250 */
    DBF_ERR_OPEN = 2,          /* opening an existing file for update failed */
    DBF_ERR_NOT_DBF = 4,       /* not a record file: wrong magic, the handle names an index
                                  file, or a file's content cannot be valid (corrupt) */
    DBF_ERR_NO_RESOURCE = 6,   /* no free slot; a file could not be created, written, grown
                                  or shortened; no block number left; a record length the
                                  files cannot hold */
    DBF_ERR_HANDLE = 7,        /* handle outside 64..95 */
    DBF_ERR_FREE_SLOT = 8,     /* the handle's slot holds no open file */
    DBF_ERR_WHENCE = 9,        /* whence not 0, 1 or 2 */
    DBF_ERR_EXISTS = 12,       /* the record file already exists */
    DBF_ERR_INDEX_NO = 13,     /* index number outside 1..8 */
    DBF_ERR_NO_INDEX = 14,     /* the index does not exist */
    DBF_ERR_RANK = 15,         /* target rank outside 0..record_count - 1 */
    DBF_ERR_KEY = 17,          /* key offset/length do not fit the record (or key > 256) */
    DBF_ERR_INDEX_EXISTS = 19, /* the index already exists */
    DBF_ERR_ORDER = 20,        /* order index of a rebuild unusable */
};

/* The last error code of the library. Process-wide; not exported from the shared library
 * (only the ZKW_API functions are). */
extern int last_error;

/* Sets last_error to DBF_ERR_NOT_DBF for a file whose content cannot be valid and returns 0,
 * so that a check reads `return corrupt();`. */
int corrupt();

/* ---- slot table ---- */
constexpr int SLOT_COUNT = 32;
constexpr int HANDLE_BASE = 64;
constexpr int16_t KIND_RECORD_FILE = 2;
constexpr int16_t KIND_INDEX_FILE = 3;

/* What the library knows of an open file beyond its FILE*: its length, and a copy of its
 * bytes in two parts. The views are shared mappings of the file, so a store into one is a
 * store into the file; the tail is a heap copy of the bytes from `covered` to the end, kept
 * equal to the file by writing every change through.
 *
 * Where a mapping may reach past the file's end (POSIX) one view reaches beyond it, is made
 * anew when the file outgrows it, and the tail stays empty. Where it may not (Windows), the
 * file's growth goes to the tail, and the tail is mapped in a view of its own, beside the
 * others, once it has grown long or its older bytes have been written to often: a new block
 * of a tree is rewritten many times while it is new. Each view starts where the one before
 * it ends, or a little before (a view starts on the platform's mapping granularity); when
 * all FILE_VIEWS are in use, the whole file is mapped anew in one. Without a view the tail
 * holds the whole file; when neither can be had (cached 0) every access goes to the file. */
constexpr int FILE_VIEWS = 8;
struct file_view {
    uint8_t *base;      /* the mapping: base[0] is the file's byte `from` */
    uint64_t from;
    uint64_t to;        /* bytes from..to - 1 are read and written through base */
};
struct file_cache {
    file_view views[FILE_VIEWS]; /* views[0] starts at 0; all zero beyond view_count */
    int view_count;
    uint64_t covered;   /* where the last view ends; 0 without one */
    uint8_t *tail;
    uint64_t tail_cap;  /* bytes allocated for the tail */
    uint64_t map_at;    /* tail length at which the tail is mapped */
    uint64_t append_at; /* where the latest write that lengthened the file began */
    uint32_t rewrites;  /* writes to tail bytes before append_at since the tail was mapped */
    uint64_t size;      /* current length of the file */
    uint64_t pointer;   /* the file's own pointer, for the OS seam (OS_POINTER_UNKNOWN) */
    int past_end;       /* 1: a view may reach past the file's end */
    int cached;         /* 1: views and tail hold every byte of the file */
};

/* How files are cached, read at each attach: CACHE_MAP maps them as far as the platform
 * allows (always, but for tests); CACHE_MAP_AT_END never past a file's end, as on Windows;
 * CACHE_HEAP in heap memory only; CACHE_OFF not at all, and no keys are kept either. */
enum { CACHE_MAP = 0, CACHE_MAP_AT_END = 1, CACHE_HEAP = 2, CACHE_OFF = 3 };
extern int cache_mode;

/* The keys that an index's searches compare, kept beside its blocks so that a search does
 * not go to the records (dbf_keys.cpp): for each block a region of NODE_SLOTS tags and
 * NODE_SLOTS keys, and a stamp. Entry i of a region holds the key of record number tags[i] as
 * it was when stored; a region counts only while its stamp equals the record file's
 * key_epoch, which moves whenever the bytes of an existing record may change. An entry whose
 * tag is not the record number the node holds there is filled anew from the record. Grows by
 * doubling with the index file (a region's memory is first touched when its block is first
 * searched); NULL until the first search. */
struct key_cache {
    uint8_t *mem;
    uint64_t *stamps;  /* one per region; 0, never an epoch, until the region is first used */
    uint32_t blocks;   /* regions allocated */
    uint32_t stride;   /* bytes per region */
};

struct slot_state {
    int16_t kind;              /* KIND_RECORD_FILE or KIND_INDEX_FILE */
    uint16_t record_length;    /* record file: copy of the header's */
    int16_t key_offset;        /* index: this index's key offset */
    int16_t key_length;        /* index: its key length, 1..256 */
    uint16_t cursor_block;     /* index: block of the node holding the cursor entry */
    int16_t cursor_pos;        /* index: position of the cursor entry in that node */
    int32_t cursor_rank;       /* index: rank of the cursor entry */
    int32_t cursor_record;     /* index: record number under the cursor; -1 = none */
    uint16_t root_block;       /* index: block of the root node */
    int32_t record_count;      /* record file: number of records */
    int16_t index_handle[9];   /* record file: handle of open index n, 0 when absent */
    /* Not part of the logical state: */
    FILE *file;                /* NULL exactly when the slot is free */
    file_cache cache;
    key_cache keys;            /* index: the keys its searches compare */
    uint64_t key_epoch;        /* record file: moves when an existing record may change */
    int beyond_last;           /* index: the last key inserted went after every other, so the
                                  next insertion's search looks at each node's end first */
};

extern slot_state slot_table[SLOT_COUNT];

/* The shared image of one record file's header: whoever needs a header reads its 314 bytes
 * here and writes them back at once when it changes them. */
extern uint8_t header_image[HDR_SIZE];

/* ---- slots and their checks (dbf_slot.cpp) ---- */

/* Slot of a handle: handle - 64 when the handle is within 64..95, else -1. Never overflows. */
int slot_of_handle(int handle);
/* Lowest free slot, or -1 when all 32 hold files. */
int lowest_free_slot();
/* Checks that slot holds an open record file, setting last_error on the first failure:
 * slot outside 0..31 -> 7; slot free -> 8; kind not 2 -> 4. 1 when it does. */
int check_record_slot(int slot);
/* Checks an index number: outside 1..8 -> 13. 1 when it is within. */
int check_index_number(int n);
/* check_record_slot, then: n outside 1..8 -> 13; index_handle[n] 0 -> 14. Returns 1 when both
 * are usable (last_error untouched), else 0. */
int check_index_args(int slot, int n);
/* Slot of open index n of record file slot rs (index_handle[n] - 64); rs and n must have
 * passed check_index_args. */
int index_slot(int rs, int n);
/* Makes slot rs, whose file is attached, a record file with no open index. */
void setup_record_slot(int rs, uint16_t record_length, int32_t record_count);
/* Makes slot is (holding the just opened file of index n) an index slot of record file
 * slot rs: kind 3, the key, a fresh cursor (block 1, position 0, rank 0, record 0), root
 * block 1, and index_handle[n] of rs. */
void setup_index_slot(int rs, int is, int n, int key_offset, int key_length);
/* 1 when the cursor of index slot is stands on a record of record file slot rs. */
int cursor_on_record(int rs, int is);

/* ---- file names ---- */

/* Base name + ".db" + digit into out (256 bytes). Returns 1 when the name length is 3..250,
 * else 0 with last_error 1. */
int make_path(const char *base, char digit, char *out);
/* Replaces the digit at the end of a path made by make_path (or read from a header). */
void set_path_digit(char *path, int n);
/* The path of index file n from header_image's path (its last character replaced by the
 * digit n) into out (256 bytes). 0 with last_error 4 when the header's path is empty or has
 * no terminating zero. */
int index_path_from_header(int n, char *out);

/* ---- header ---- */

/* Reads the 314 header bytes of record file slot rs into header_image. Returns 1 when all
 * 314 bytes were read; 0 with last_error 4 when the file is shorter (header_image is then
 * zeroed, so no stale header of another file set can be acted on). */
int header_read(int rs);
/* Writes header_image to offset 0 of record file slot rs. 1, or 0 with last_error 6. */
int header_write(int rs);
/* Whether header_image starts with the magic text and its zero byte. */
int header_magic_ok();
/* Whether header_image describes a record file this library can work with: the magic text,
 * a record length of 1..32767, and keys of 1..256 bytes inside the record. */
int header_usable();
/* Fills header_image for a new record file: magic, path, record length, no index. */
void header_init(const char *path, uint16_t record_length);
/* Stores path (zero-filled to 256 bytes) in header_image. */
void header_set_path(const char *path);
int header_key_length(int n);
int header_key_offset(int n);
/* Sets key_length[n] and key_offset[n] of header_image (both 0 for an absent index). */
void header_set_key(int n, int key_offset, int key_length);

/* ---- records ---- */

/* Offset of record recno of record file slot rs. */
uint64_t record_offset(int rs, int32_t recno);
/* Reads record recno (0..record_count - 1) of record file slot rs, record_length bytes.
 * 0 with last_error 4 when recno is out of range or the read is short. */
int record_read(int rs, int32_t recno, void *buf);
/* Writes record recno (0..record_count; record_count appends) of slot rs. 0 with 4 when
 * recno is out of range, 6 when the write failed. record_count is not changed here. */
int record_write(int rs, int32_t recno, const void *buf);
/* Reads the key of record recno for index slot is (its key_offset and key_length) into key.
 * 0 with last_error 4 when recno is not a record of rs or the key lies outside it. */
int record_key(int rs, int is, int32_t recno, uint8_t *key);
/* Every change of an existing record's bytes (record_write of a record below record_count,
 * record_copy, record_file_shorten) moves the record file's key_epoch, so that the keys its
 * indexes keep are read again. The epoch is 64-bit: it never comes round. */
void keys_changed(int rs);
/* Copies record `from` over record `to` of record file slot rs, a piece at a time. */
int record_copy(int rs, int32_t from, int32_t to);
/* Shortens record file slot rs to hold `count` records (file size 1024 + count * length);
 * record_count is not changed here. 1, or 0 with last_error 6. */
int record_file_shorten(int rs, int32_t count);

/* ---- files and cache (dbf_file.cpp) ---- */

/* Puts an open FILE* into a free slot and sets up its cache (size read from the file).
 * 1, or 0 with last_error 4 when the size cannot be read (the FILE* is not closed). */
int file_attach(int slot, FILE *file);
/* Opens path with the stdio mode into the free slot and attaches it. 1, or 0 with
 * last_error fail_code when the file cannot be opened or attached; a file that was being
 * created ("w" modes) is then deleted again. */
int file_open_into(int slot, const char *path, const char *mode, int fail_code);
/* Closes the slot's file, drops its cache and frees the slot. */
void file_detach(int slot);
/* Reads len bytes at off. 1 when all of them lay inside the file and were read; 0 otherwise
 * with last_error 4 (buf contents then undefined). */
int file_read_at(int slot, uint64_t off, void *buf, size_t len);
/* Pointer to len bytes at off inside the slot's cached copy, valid until the next write,
 * truncation or detach of that slot; NULL when the range is outside the file, not cached,
 * or runs from one view into the next or the tail (use file_read_at then). Sets no error. */
const uint8_t *file_peek_beyond(const file_cache *c, uint64_t off, size_t len);
inline const uint8_t *file_peek(int slot, uint64_t off, size_t len)
{
    const file_cache *c = &slot_table[slot].cache;
    if (!c->cached || off > c->size || len > c->size - off)
        return nullptr;
    if (off + len <= c->views[0].to)
        return c->views[0].base + off;
    return file_peek_beyond(c, off, len);
}
/* Writes len bytes at off (off at most the file size; writing past the end extends the
 * file). 1, or 0 with last_error 6. */
int file_write_at(int slot, uint64_t off, const void *buf, size_t len);
/* Sets the file's length to size (shorter only). 1, or 0 with last_error 6. */
int file_shorten(int slot, uint64_t size);
/* Current length of the slot's file in bytes. */
inline uint64_t file_size(int slot) { return slot_table[slot].cache.size; }

#endif
