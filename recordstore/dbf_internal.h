/* The record store's internals shared by its sources (and by tests that link the static
 * core): the slot table, the process-wide working storage, last_error, and the operations
 * on files, records and index nodes that the exported functions are built from.
 *
 * Sources of the library: dbf_file.cpp (per-file cache and I/O), dbf_frame.cpp (slots,
 * record operations), dbf_index.cpp (key search, insertion, split, cursor, index exports),
 * dbf_delete.cpp (delete_member, remove_entry, rebalance_after_delete, release_block),
 * and the platform seams dbf_map_{posix,win32}.cpp and dbf_truncate_{posix,win32}.cpp.
 *
 * Every change made through these functions has reached the operating system (the file)
 * when the function returns: the caches below are write-through.
 *
 * Unless a comment says otherwise, a function returning int returns 1 on success and 0 on
 * failure, and on failure it has set last_error: DBF_ERR_CORRUPT (4) when a file holds
 * something that cannot be valid (a block or record number out of range, a node count above
 * 49, a parent chain that does not close, a short read), DBF_ERR_WRITE (6) when a write or a
 * truncation failed.
 */
#ifndef DBF_INTERNAL_H
#define DBF_INTERNAL_H

#include <stdint.h>
#include <stdio.h>

#include "dbf_format.h"
#include "zkw_dbf.h"

/* ---- last_error codes ---- */
enum {
    DBF_OK = 0,
    DBF_ERR_NAME = 1,          /* base name shorter than 3 or longer than 250 */
    DBF_ERR_OPEN = 2,          /* opening an existing file for update failed */
    DBF_ERR_NOT_DBF = 4,       /* not a record file (also: a file's content is not valid) */
    DBF_ERR_NO_SLOT = 6,       /* no free slot, or creating (writing) a file failed */
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
/* Codes used for failures that have no code of their own. */
constexpr int DBF_ERR_CORRUPT = DBF_ERR_NOT_DBF;
constexpr int DBF_ERR_WRITE = DBF_ERR_NO_SLOT;

/* The last error code of the library. Process-wide; not exported from the shared library
 * (only the ZKW_API functions are). */
extern int last_error;

/* ---- slot table ---- */
constexpr int SLOT_COUNT = 32;
constexpr int HANDLE_BASE = 64;
constexpr int16_t KIND_RECORD_FILE = 2;
constexpr int16_t KIND_INDEX_FILE = 3;

/* What the library knows of an open file beyond its FILE*: its length, and an image of its
 * bytes. The image is either a shared mapping of the file (then a store into it is a store
 * into the file) or a heap copy kept equal to the file by writing every change through; it
 * is NULL when the file is not cached (it could not be mapped or allocated), and then every
 * access goes to the file. */
struct file_cache {
    uint8_t *image;
    uint64_t size;      /* current length of the file */
    uint64_t capacity;  /* bytes addressable through image */
    int mapped;         /* 1: image maps the file, 0: heap copy */
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
};

extern slot_state slot_table[SLOT_COUNT];

/* ---- shared working storage ---- */
extern uint8_t header_image[HDR_SIZE];
enum { NODE_WORK = 0, NODE_PARENT_BUF = 1, NODE_SIBLING = 2 };
/* The three node buffers: the working node, the parent (or new node), the sibling.
 * find_key, seek_rank, insert_entry and split_node use NODE_WORK and NODE_PARENT_BUF;
 * NODE_SIBLING is left to deletion. */
extern index_node node_buffers[3];
/* Two key buffers: key_buffers[0] the search key, key_buffers[1] a record's key. */
extern uint8_t key_buffers[2][DBF_MAX_KEY];

/* ---- frame (dbf_frame.cpp) ---- */

/* Slot of a handle: handle - 64 when the handle is within 64..95, else -1. Never overflows. */
int slot_of_handle(int handle);
/* Lowest free slot, or -1 when all 32 hold files. */
int lowest_free_slot();
/* Checks a slot and an index number in this order, setting last_error on the first failure:
 * slot outside 0..31 -> 7; slot free -> 8; kind not 2 -> 4; n outside 1..8 -> 13;
 * index_handle[n] 0 -> 14. Returns 1 when both are usable (last_error untouched), else 0. */
int check_index_args(int slot, int n);
/* Slot of open index n of record file slot rs (index_handle[n] - 64); rs and n must have
 * passed check_index_args. */
int index_slot(int rs, int n);
/* Makes slot is (holding the just opened file of index n) an index slot of record file
 * slot rs: kind 3, the key, a fresh cursor (block 1, position 0, rank 0, record 0), root
 * block 1, and index_handle[n] of rs. */
void setup_index_slot(int rs, int is, int n, int key_offset, int key_length);

/* Reads the 314 header bytes of record file slot rs into header_image. Returns 1 when all
 * 314 bytes were read; 0 with last_error 4 when the file is shorter (header_image is then
 * zeroed, so no stale header of another file set can be acted on). */
int header_read(int rs);
/* Writes header_image to offset 0 of record file slot rs. 1, or 0 with last_error 6. */
int header_write(int rs);

/* Reads record recno (0..record_count - 1) of record file slot rs, record_length bytes.
 * 0 with last_error 4 when recno is out of range or the read is short. */
int record_read(int rs, int32_t recno, void *buf);
/* Writes record recno (0..record_count; record_count appends) of slot rs. 0 with 4 when
 * recno is out of range, 6 when the write failed. record_count is not changed here. */
int record_write(int rs, int32_t recno, const void *buf);
/* Reads the key of record recno for index slot is (its key_offset and key_length) into key.
 * 0 with last_error 4 when recno is not a record of rs or the key lies outside it. */
int record_key(int rs, int is, int32_t recno, uint8_t *key);
/* Shortens record file slot rs to hold `count` records (file size 1024 + count * length);
 * record_count is not changed here. 1, or 0 with last_error 6. */
int record_file_shorten(int rs, int32_t count);

/* ---- files and cache (dbf_file.cpp) ---- */

/* Puts an open FILE* into a free slot and sets up its cache (size read from the file).
 * 1, or 0 with last_error 4 when the size cannot be read (the FILE* is not closed). */
int file_attach(int slot, FILE *file);
/* Closes the slot's file, drops its cache and frees the slot. */
void file_detach(int slot);
/* Reads len bytes at off. 1 when all of them lay inside the file and were read; 0 otherwise
 * with last_error 4 (buf contents then undefined). */
int file_read_at(int slot, uint64_t off, void *buf, size_t len);
/* Pointer to len bytes at off inside the slot's cached image, valid until the next write,
 * truncation or detach of that slot; NULL when the range is outside the file or the file is
 * not cached (use file_read_at then). Sets no error. */
const uint8_t *file_peek(int slot, uint64_t off, size_t len);
/* Writes len bytes at off (off at most the file size; writing past the end extends the
 * file). 1, or 0 with last_error 6. */
int file_write_at(int slot, uint64_t off, const void *buf, size_t len);
/* Sets the file's length to size (shorter only). 1, or 0 with last_error 6. */
int file_shorten(int slot, uint64_t size);
/* Current length of the slot's file in bytes. */
uint64_t file_size(int slot);

/* ---- index nodes (dbf_index.cpp) ---- */

/* Number of 512-byte blocks of index slot is (file size / 512). */
uint32_t index_block_count(int is);
/* Reads and decodes block blk of index slot is. 0 with last_error 4 when blk is 0, beyond
 * the file, or the block is not a node of this place (count above 49, self not blk). */
int node_read(int is, uint32_t blk, index_node *node);
/* Encodes node and writes it at block blk of index slot is; blk may be the block count
 * (appends a block). 0 with last_error 4 when blk is 0, above 65535 or beyond the end + 1;
 * 6 when the write failed. The node's self field is written as it stands. */
int node_write(int is, uint32_t blk, const index_node *node);
/* Shortens index slot is to `blocks` blocks (at least 2). 1, or 0 with last_error 6. */
int index_shorten(int is, uint32_t blocks);
/* Number of entries held by the index (root count plus the root's subtree counts), or -1
 * with last_error 4 when the root cannot be read. */
int64_t index_entries(int is);

enum { FIND_INSERT = 0, FIND_FIND = 1 };
/* Descends from the root of index n of record file slot rs and leaves the cursor where key
 * belongs in a leaf: in FIND_INSERT mode after every equal key, in FIND_FIND mode before
 * them. Returns that rank (the number of entries when every key is smaller), or -1 with
 * last_error 4 on a corrupt index. Sets cursor_block/pos/rank; cursor_record is the entry
 * at the position, or -1 when the position is after the node's last entry. Uses NODE_WORK,
 * which holds the leaf afterwards. */
int32_t find_key(int rs, int n, const uint8_t *key, int mode);
/* Whether the cursor of index slot is stands on an entry: the node of its block holds
 * cursor_record at cursor_pos. Reads that node into `node`; sets no error. */
int cursor_on_entry(int is, index_node *node);
/* Inserts record number recno with the given key into index n of slot rs (find_key insert
 * mode, then walk up adding 1 to the subtree counts, then split_node while overfull).
 * Returns the rank of the new entry, or -1 with last_error 4 (corrupt) or 6 (write failed,
 * or the index would need a block number above 65535; then nothing is changed). The cursor
 * is left on the new entry (valid block, position, rank and record even after a split). */
int32_t insert_entry(int rs, int n, int32_t recno, const uint8_t *key);
/* Whether inserting key into index n of slot rs needs no block number above 65535: the
 * blocks its splits would append (one per full node from the leaf up, and a new root when
 * the root splits) still fit. 1; 0 with last_error 6 when they do not, 4 on a corrupt index.
 * Costs a search only when the file is within a tree's height of the limit. The cursor is
 * left as it was. */
int index_has_room(int rs, int n, const uint8_t *key);
/* Splits the overfull node (49 entries) held in NODE_WORK of index slot is, and its parents
 * while they overflow. 1, or 0 with last_error 4 or 6. The cursor is not touched. */
int split_node(int is);
/* The cursor move of lseek_DBF after its argument checks: whence DBF_SEEK_SET/CUR/END.
 * Returns the new rank; 0 when the record file is empty (cursor unchanged); -1 with
 * last_error 9 (bad whence) or 15 (rank out of range) or 4 (corrupt index); -9 with
 * last_error 0 when the index holds fewer entries than the record count and the rank is
 * not in it. SEEK_CUR walks from the cursor's node when the cursor stands on a valid entry
 * and descends from the root otherwise. Uses NODE_WORK and NODE_PARENT_BUF. */
int32_t seek_rank(int rs, int n, int32_t offset, int whence);
/* 1 when the cursor of index slot is stands on a record of record file slot rs. */
int cursor_on_record(int rs, int is);

/* ---- deletion (dbf_delete.cpp, part of the library) ----
 * delete_member (exported), remove_entry, rebalance_after_delete and release_block are
 * implemented there against the functions above. */

#endif
