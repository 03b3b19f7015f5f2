/* The record store's tree layer: the index files and the order-statistic B-trees in them,
 * built on the slot layer (dbf_slot.h) and used by the exports (dbf_exports.cpp).
 *
 *   dbf_node.cpp        node buffers, node I/O, the links between nodes, the cursor's state
 *   dbf_search.cpp      the key search (find_key) and the cursor moves by rank (seek_rank)
 *   dbf_insert.cpp      insertion and node splits; a new record into every open index
 *   dbf_remove.cpp      removal of one entry and the repair of the tree (borrow, merge,
 *                       collapse of the root, release of a block)
 *   dbf_delete.cpp      a record out of every open index, the last record into its place
 *   dbf_index_file.cpp  creating, opening and removing an index file of a record file
 *
 * Every value read from an index file is checked before it is used: block numbers must
 * name a block of the file (node_read), counts must fit a node, parent links must agree
 * with the child entries that lead to a node, and every descent or climb is bounded by
 * MAX_DEPTH, so a corrupt file makes an operation fail with last_error 4 instead of looping
 * or reading outside a node. Results follow dbf_slot.h unless a comment says otherwise.
 */
#ifndef DBF_TREE_H
#define DBF_TREE_H

#include <stdint.h>
#include <string.h>

#include "dbf_slot.h"

/* ---- shared working storage (dbf_node.cpp) ---- */

/* The three node buffers, named by a type of their own so that a node field's offset
 * (NODE_PARENT, NODE_SELF of dbf_format.h) cannot stand in for one: node_slot::work the
 * working node, node_slot::parent its parent or a new node, node_slot::sibling the sibling
 * of a deletion's repair. find_key, seek_rank, insert_entry and split_node use work and
 * parent; sibling is left to deletion. */
enum class node_slot : uint8_t { work, parent, sibling };
index_node *node_buffer(node_slot slot);
/* Two key buffers: key_buffers[0] the search key, key_buffers[1] a record's key. */
extern uint8_t key_buffers[2][DBF_MAX_KEY];

/* ---- nodes and their links (dbf_node.cpp) ---- */

/* Number of 512-byte blocks of index slot is (file size / 512). */
inline uint32_t index_block_count(int is) { return (uint32_t)(file_size(is) / BLOCK_SIZE); }
/* The 512 bytes of block blk of index slot is, checked as node_read checks a node, for the
 * paths that read a few fields in place (node_count_at and the like): a pointer into the
 * cached copy, valid until the next write to the slot, or `scratch` holding a copy when the
 * file is not cached. NULL with last_error 4. */
const uint8_t *block_view(int is, uint32_t blk, uint8_t *scratch);
/* Reads and decodes block blk of index slot is. 0 with last_error 4 when blk is 0, beyond
 * the file, or the block is not a node of this place (count above 49, self not blk). */
int node_read(int is, uint32_t blk, index_node *node);
/* Encodes node and writes it at block blk of index slot is; blk may be the block count
 * (appends a block). 0 with last_error 4 when blk is 0, above 65535 or beyond the end + 1;
 * 6 when the write failed. The node's self field is written as it stands. */
int node_write(int is, uint32_t blk, const index_node *node);
/* Writes an empty root node (parent 0, position 0, self blk, count 0) at block blk, through
 * node_slot::parent. */
int write_empty_node(int is, uint32_t blk);
/* Shortens index slot is to `blocks` blocks (at least 2). 1, or 0 with last_error 6. */
int index_shorten(int is, uint32_t blocks);
/* Number of entries held by the index (root count plus the root's subtree counts), or -1
 * with last_error 4 when the root cannot be read. Uses node_slot::work. */
int64_t index_entries(int is);

/* Whether child entry pos of parent exists and leads to block child: the check that a
 * node's parent and pos_in_parent agree with the parent's child entry. */
inline bool points_to(const index_node *parent, int pos, uint16_t child)
{
    return pos <= parent->count && parent->children[pos].block == child;
}
/* Reads the parent of node into `parent` (which may be node itself) and checks that it
 * points back at node. 0 with last_error 4 when it cannot be read or does not point back. */
int read_parent(int is, const index_node *node, index_node *parent);
/* Climbs from the node in `node` to its parent: reads the parent into `node` and gives the
 * position of the child it came from in *pos. 1; 0 at the root (no parent); -1 with 4 when
 * the parent does not point back. */
int climb(int is, index_node *node, int *pos);
/* Sets parent and pos_in_parent of the children first..last of `parent` (held in a buffer
 * other than `scratch`, through which each child is read). Children whose fields already
 * agree are not rewritten. */
int adopt_children(int is, const index_node *parent, int first, int last, index_node *scratch);
/* Adds delta (+1 or -1) to the subtree count leading to `node` in every ancestor, from its
 * parent up to the root, each count changed in place. 0 with last_error 4 on a broken link,
 * a chain deeper than MAX_DEPTH or a count that would go below 0; 6 when a write failed. */
int adjust_ancestor_counts(int is, const index_node *node, int delta);
/* The same for the node in block child at position pos of block up. */
int adjust_counts_above(int is, uint16_t child, int pos, uint16_t up, int delta);

/* ---- the cursor (dbf_node.cpp) ---- */

/* The four cursor fields of an index slot, to put a cursor back where it was. */
struct cursor_state {
    uint16_t block;
    int16_t pos;
    int32_t rank;
    int32_t record;
};
cursor_state cursor_save(int is);
void cursor_restore(int is, const cursor_state &c);
/* Sets the cursor of index slot is. */
void set_cursor(int is, uint16_t blk, int pos, int64_t rank, uint32_t recno);
/* Whether the cursor of index slot is stands on an entry: the node of its block holds
 * cursor_record at cursor_pos. Reads that node into `node`; sets no error. */
int cursor_on_entry(int is, index_node *node);

/* ---- the keys kept beside the blocks (dbf_keys.cpp; struct key_cache in dbf_slot.h) ---- */

/* Eight bytes at p as a number whose order is that of the bytes (the first weighs most). */
inline uint64_t key_chunk(const uint8_t *p)
{
    uint64_t x;
    memcpy(&x, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    return x;
}

/* Compares two keys of len bytes as unsigned byte strings: <0, 0, >0. Eight bytes at a time:
 * the keys that a search compares are short. A last piece shorter than eight bytes is
 * compared as the key's last eight, whose first bytes are known equal by then. */
inline int key_compare(const uint8_t *a, const uint8_t *b, size_t len)
{
    if (len < 8) {
        for (; len > 0; a++, b++, len--)
            if (*a != *b)
                return *a < *b ? -1 : 1;
        return 0;
    }
    for (size_t at = 0;; at += 8) {
        if (at + 8 > len)
            at = len - 8;
        uint64_t x = key_chunk(a + at), y = key_chunk(b + at);
        if (x != y)
            return x < y ? -1 : 1;
        if (at + 8 == len)
            return 0;
    }
}
/* The region of block blk in the key cache of index slot is (record file slot rs), made
 * current; NULL when the cache cannot cover blk (memory ran out), and the caller then
 * compares with the records themselves. */
uint8_t *key_region(int rs, int is, uint32_t blk);
/* The position in the node whose bytes are v (block blk of index slot is) where key belongs:
 * the first entry whose key is greater (insert mode) or not smaller (find mode), or count
 * when there is none. With last_first the node's last entry is looked at first, which settles
 * a key that goes after all of them in one comparison; otherwise a binary search narrows the
 * range and a short scan finds the place. The keys come from the key cache where it can hold
 * them. -1 with last_error 4 on a missing record. */
int key_position(int rs, int is, uint32_t blk, const uint8_t *v, const uint8_t *key, int mode,
                 bool last_first);
/* Starts loading block blk of index slot is and its kept keys into the processor's cache,
 * for a descent that will read them next. */
void keys_prefetch(int is, uint32_t blk);
/* Follows the insertion of recno (with key) at position p of block blk, which held count
 * entries, in the key cache: the kept keys from p on move up one place with their entries. */
void keys_shift_in(int rs, int is, uint32_t blk, int p, int count, uint32_t recno,
                   const uint8_t *key);

/* ---- search (dbf_search.cpp) ---- */

enum { FIND_INSERT = 0, FIND_FIND = 1 };
/* Descends from the root of index n of record file slot rs and leaves the cursor where key
 * belongs in a leaf: in FIND_INSERT mode after every equal key, in FIND_FIND mode before
 * them. Returns that rank (the number of entries when every key is smaller), or -1 with
 * last_error 4 on a corrupt index. Sets cursor_block/pos/rank; cursor_record is the entry
 * at the position, or -1 when the position is after the node's last entry. The nodes are
 * read in place: no node buffer is used. */
int32_t find_key(int rs, int n, const uint8_t *key, int mode);
/* Compares the key of record recno (for index slot is) with key: <0, 0, >0 in *cmp.
 * 1, or 0 with last_error 4 when the record does not exist. */
int compare_record_key(int rs, int is, uint32_t recno, const uint8_t *key, int *cmp);
/* Finds the entry of rank t by descending from the root, reading the nodes in place. 1 when
 * found (cursor set), 0 when the index holds no entry of that rank, -1 with last_error 4 on a
 * corrupt index. */
int seek_descend(int is, int64_t t);
/* The cursor move of lseek_DBF after its argument checks: whence DBF_SEEK_SET/CUR/END.
 * Returns the new rank; 0 when the record file is empty (cursor unchanged); -1 with
 * last_error 9 (bad whence) or 15 (rank out of range) or 4 (corrupt index); -9 with
 * last_error 0 when the index holds fewer entries than the record count and the rank is
 * not in it. SEEK_CUR walks from the cursor's node when the cursor stands on a valid entry
 * and descends from the root otherwise. Uses node_slot::work and node_slot::parent. */
int32_t seek_rank(int rs, int n, int32_t offset, int whence);

/* ---- insertion (dbf_insert.cpp) ---- */

/* Whether inserting key into index n of slot rs needs no block number above 65535: the
 * blocks its splits would append (one per full node from the leaf up, and a new root when
 * the root splits) still fit. 1; 0 with last_error 6 when they do not, 4 on a corrupt index.
 * Costs a search only when the file is within a tree's height of the limit. The cursor is
 * left as it was. */
int index_has_room(int rs, int n, const uint8_t *key);
/* Inserts record number recno with the given key into index n of slot rs (find_key insert
 * mode, then walk up adding 1 to the subtree counts, then split_node while overfull). The
 * caller has made sure with index_has_room that the index has room. Returns the rank of the
 * new entry, or -1 with last_error 4 (corrupt) or 6 (write failed). The cursor is left on
 * the new entry (valid block, position, rank and record even after a split). */
int32_t insert_entry(int rs, int n, int32_t recno, const uint8_t *key);
/* Splits the overfull node (49 entries) held in node_slot::work of index slot is, and its parents
 * while they overflow. 1, or 0 with last_error 4 or 6. The cursor is not touched. */
int split_node(int is);
/* Enters the new record recno (whose bytes are `record`, already written) into every open
 * index of record file slot rs, keeping each cursor on the record it was on. 1, or 0 with
 * last_error 4 or 6. */
int insert_into_indexes(int rs, int32_t recno, const uint8_t *record);
/* Whether every open index of slot rs has room for the record's keys (index_has_room). */
int indexes_have_room(int rs, const uint8_t *record);
/* Enters every record of slot rs into the empty index n, in the order of index g (record
 * numbers when g is 0; index g holds every record), and puts the cursor of g back. 1, or 0
 * with last_error 4 or 6 (the index is then incomplete). */
int fill_index(int rs, int n, int g);

/* ---- removal (dbf_remove.cpp) ---- */

/* remove_entry: removes the entry under the cursor of index n of record file slot rs and
 * repairs the tree. The cursor must stand on an entry; it is not repositioned. 1, or 0 with
 * last_error 4 (the cursor is on no entry, the step to the predecessor failed, corrupt
 * links; nothing is changed when the failure comes before the first write) or 6 (a write or
 * truncation failed). */
int remove_entry(int rs, int n);

/* ---- deletion of a record (dbf_delete.cpp) ---- */

/* delete_member after its argument checks: removes the record under the cursor of index n
 * from every open index and from the record file, the last record taking its number.
 * Results as delete_member. */
int delete_record(int rs, int n);

/* ---- index files (dbf_index_file.cpp) ---- */

/* Creates the file of index n for record file slot rs with key (o, l) in the lowest free
 * slot: two empty nodes, the header's key fields, the index slot. The caller has checked
 * the key. 1, or 0 with last_error 4 (header unreadable) or 6. */
int index_create_file(int rs, int n, int o, int l);
/* Opens every index that header_image lists for record file slot rs, whose path is `path`
 * (base name + ".db0"; its digit is changed), and puts each cursor on rank 0. 1, or 0 with
 * last_error 6 (no free slot) or 2 (a file cannot be opened or is not a valid index); the
 * indexes opened so far stay open and the caller closes them. */
int open_indexes(int rs, char *path);
/* Closes and deletes index n of record file slot rs and clears its key in the header. 1, or
 * 0 with last_error 4 (header unreadable) or 6 (header not written back; the index is
 * closed and deleted all the same). */
int index_remove_file(int rs, int n);

#endif
