/* The record store's two on-disk formats, written down once: the record file and the index
 * file. Every reader and writer of these files (the library, the checker, the dumper, tests)
 * takes its offsets from here. Everything is little-endian and no field is aligned beyond its
 * own placement, so bytes go through the get_/put_ helpers below, never through a struct laid
 * over a buffer: the files come out identical from every compiler and word size.
 *
 * RECORD FILE  (base name + ".db0")
 *
 *   OFFSET  SIZE          DESCRIPTION
 *        0   512          header block: the header (314 bytes), then 198 zero bytes
 *      512   512          copy of the header block as it was at creation; never read again
 *     1024   n * reclen   the records, record 0 first, back to back; the file ends after the
 *                         last one, so the record count is (file size - 1024) / reclen
 *
 * HEADER  (first 314 bytes of the record file)
 *
 *   OFFSET  SIZE  DESCRIPTION
 *        0    20  magic: "ZKW-DBF V01.00" and its zero byte (15 bytes), then 5 zero bytes
 *       20   256  path: zero-terminated name of the record file as last created or opened
 *                 (base name + ".db0"); bytes after the zero are written as zeros
 *      276     2  record_length: bytes per record, 1..32767
 *      278     2  key_length[0]: unused, 0
 *      280    16  key_length[1..8]: key length of index n, 1..256; 0 = index n absent
 *      296     2  key_offset[0]: unused, 0
 *      298    16  key_offset[1..8]: offset of index n's key in a record; 0 when absent
 *
 * Only these 314 bytes are rewritten after creation (open stores the path, creating,
 * rebuilding or removing an index sets its key_length/key_offset).
 *
 * INDEX FILE  (base name + ".db1" .. ".db8"): 512-byte blocks, block b at offset 512 * b.
 *   Block 0 is a copy of the empty root written at creation and is never read again. Every
 *   block from 1 on holds one node; there is no free list and there are no holes, so an index
 *   of k nodes is exactly 512 * (k + 1) bytes. Block numbers are 16-bit: at most 65535.
 *   A new index is 1024 bytes: blocks 0 and 1 each an empty node, self 1, count 0.
 *
 * NODE  (one block)
 *
 *   OFFSET  SIZE  DESCRIPTION
 *        0     2  parent: block of the parent node, 0 for the root
 *        2     2  pos_in_parent: index of this node in the parent's children, 0 for the root
 *        4     2  self: this node's own block number
 *        6     2  count: number of entries (at most 48 between calls, 49 inside an insertion)
 *        8   196  records[49]: 32-bit record numbers in key order; 0..count-1 significant
 *      204   300  children[50]: 6-byte child entries; 0..count significant in an internal node
 *      504     8  zero
 *
 * CHILD ENTRY  (6 bytes, packed)
 *
 *   OFFSET  SIZE  DESCRIPTION
 *        0     2  block: block of the child node, 0 = no child
 *        2     4  subtree_count: record numbers held in the child and every node below it
 *
 * Tree invariants, true between any two calls into the library:
 *  1. A node is a leaf exactly when children[0].block is 0; a leaf's children[0..count] are
 *     all zero.
 *  2. An internal node of count k has k + 1 children; everything under children[i] sorts at
 *     or before records[i], which sorts at or before everything under children[i + 1].
 *  3. subtree_count is the number of record numbers under that child, so the whole tree
 *     holds the root's count plus the sum of the root's subtree counts.
 *  4. Nodes other than the root hold 24..48 entries; the root holds 1..48 when it has
 *     children and 0 only when the index is empty.
 *  5. parent, pos_in_parent and self agree with the child entry pointing at the node; the
 *     root is found from block 1 by following parent to 0.
 *  6. Entries are ordered by the records' keys (unsigned bytes); equal keys keep their
 *     insertion order, a new record going after every equal one.
 *  7. An entry's rank is its 0-based position in that order over the whole tree.
 *
 * The bytes that carry no meaning (see above, plus node entries beyond those the invariants
 * call significant) are always written as zeros.
 */
#ifndef DBF_FORMAT_H
#define DBF_FORMAT_H

#include <stddef.h>
#include <stdint.h>

/* ---- record file ---- */
constexpr char DBF_MAGIC[] = "ZKW-DBF V01.00";
constexpr size_t DBF_MAGIC_SIZE = sizeof(DBF_MAGIC); /* 15, with the zero byte */

constexpr size_t HDR_MAGIC = 0;
constexpr size_t HDR_MAGIC_FIELD = 20;
constexpr size_t HDR_PATH = 20;
constexpr size_t HDR_PATH_SIZE = 256;
constexpr size_t HDR_RECORD_LENGTH = 276;
constexpr size_t HDR_KEY_LENGTH = 278;       /* u16 [9], entry 0 unused */
constexpr size_t HDR_KEY_OFFSET = 296;       /* u16 [9], entry 0 unused */
constexpr size_t HDR_SIZE = 314;             /* used part of the header block */
constexpr size_t HDR_BLOCK_SIZE = 512;
constexpr size_t DBF_RECORDS_START = 1024;   /* offset of record 0 */

constexpr int DBF_MAX_INDEX = 8;
constexpr int DBF_MAX_KEY = 256;             /* key buffers hold this many bytes */
constexpr unsigned DBF_MAX_RECORD_LENGTH = 32767;
constexpr int DBF_MIN_NAME = 3;
constexpr int DBF_MAX_NAME = 250;            /* + ".db0" + zero fits the path field */

static_assert(DBF_MAGIC_SIZE == 15, "magic text with its zero byte");
static_assert(HDR_MAGIC + HDR_MAGIC_FIELD == HDR_PATH, "path follows the magic field");
static_assert(HDR_PATH + HDR_PATH_SIZE == HDR_RECORD_LENGTH, "record_length follows path");
static_assert(HDR_RECORD_LENGTH + 2 == HDR_KEY_LENGTH, "key lengths follow record_length");
static_assert(HDR_KEY_LENGTH + 2 * (DBF_MAX_INDEX + 1) == HDR_KEY_OFFSET, "9 key lengths");
static_assert(HDR_KEY_OFFSET + 2 * (DBF_MAX_INDEX + 1) == HDR_SIZE, "header ends at 314");
static_assert(DBF_MAX_NAME + 4 + 1 <= (int)HDR_PATH_SIZE, "longest path fits");
static_assert(2 * HDR_BLOCK_SIZE == DBF_RECORDS_START, "two header blocks before records");

/* ---- index file ---- */
constexpr size_t BLOCK_SIZE = 512;
constexpr unsigned MAX_BLOCK = 65535;        /* block numbers are 16-bit */
constexpr int NODE_MAX = 48;                 /* entries of a node between calls */
constexpr int NODE_MIN = 24;                 /* entries of a non-root node */
constexpr int NODE_SLOTS = 49;               /* room for the overfull node of a split */
/* No sound tree of 65535 blocks is deeper than 5 levels (nodes other than the root have at
 * least 25 children); readers treat a descent or climb deeper than this as a corrupt file. */
constexpr int MAX_DEPTH = 24;

constexpr size_t NODE_PARENT = 0;
constexpr size_t NODE_POS_IN_PARENT = 2;
constexpr size_t NODE_SELF = 4;
constexpr size_t NODE_COUNT = 6;
constexpr size_t NODE_RECORDS = 8;           /* u32 [49] */
constexpr size_t NODE_CHILDREN = 204;        /* child entry [50] */
constexpr size_t CHILD_SIZE = 6;
constexpr size_t CHILD_BLOCK = 0;
constexpr size_t CHILD_SUBTREE_COUNT = 2;
constexpr size_t NODE_END = 504;             /* bytes 504..511 are zero */

static_assert(NODE_RECORDS + 4 * NODE_SLOTS == NODE_CHILDREN, "records end at 204");
static_assert(NODE_CHILDREN + CHILD_SIZE * (NODE_SLOTS + 1) == NODE_END, "children end at 504");
static_assert(NODE_END <= BLOCK_SIZE, "a node fits its block");
static_assert(CHILD_SUBTREE_COUNT + 4 == CHILD_SIZE, "child entry is 6 bytes");
static_assert(2 * NODE_MIN == NODE_MAX && NODE_MAX + 1 == NODE_SLOTS, "split halves");

/* ---- little-endian helpers ---- */
inline uint16_t get_u16le(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t get_u32le(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}
inline void put_u16le(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void put_u32le(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

/* ---- node codec ---- */
struct child_entry {
    uint16_t block;          /* 0 = no child */
    uint32_t subtree_count;
};

/* One node in memory. The arrays have room for the overfull node of an insertion. */
struct index_node {
    uint16_t parent;
    uint16_t pos_in_parent;
    uint16_t self;
    uint16_t count;
    uint32_t records[NODE_SLOTS];
    child_entry children[NODE_SLOTS + 1];
};

inline bool node_is_leaf(const index_node *node) { return node->children[0].block == 0; }

/* Single fields of a node read where the block lies, for the paths that touch a few fields
 * of many nodes and would waste a whole decode. Nothing is validated here either. */
inline uint16_t node_parent_at(const uint8_t *blk) { return get_u16le(blk + NODE_PARENT); }
inline uint16_t node_pos_at(const uint8_t *blk) { return get_u16le(blk + NODE_POS_IN_PARENT); }
inline uint16_t node_self_at(const uint8_t *blk) { return get_u16le(blk + NODE_SELF); }
inline int node_count_at(const uint8_t *blk) { return get_u16le(blk + NODE_COUNT); }
inline uint32_t node_record_at(const uint8_t *blk, int i)
{
    return get_u32le(blk + NODE_RECORDS + 4 * i);
}
inline uint16_t node_child_at(const uint8_t *blk, int k)
{
    return get_u16le(blk + NODE_CHILDREN + CHILD_SIZE * k + CHILD_BLOCK);
}
inline uint32_t node_subtree_at(const uint8_t *blk, int k)
{
    return get_u32le(blk + NODE_CHILDREN + CHILD_SIZE * k + CHILD_SUBTREE_COUNT);
}

/* Decodes a block as it stands: every field and all 49/50 entries, whatever count says.
 * Nothing is validated here; readers check count (at most 49) and block numbers. */
inline void decode_node(const uint8_t *blk, index_node *node)
{
    node->parent = get_u16le(blk + NODE_PARENT);
    node->pos_in_parent = get_u16le(blk + NODE_POS_IN_PARENT);
    node->self = get_u16le(blk + NODE_SELF);
    node->count = get_u16le(blk + NODE_COUNT);
    for (int i = 0; i < NODE_SLOTS; i++)
        node->records[i] = get_u32le(blk + NODE_RECORDS + 4 * i);
    for (int i = 0; i <= NODE_SLOTS; i++) {
        const uint8_t *c = blk + NODE_CHILDREN + CHILD_SIZE * i;
        node->children[i].block = get_u16le(c + CHILD_BLOCK);
        node->children[i].subtree_count = get_u32le(c + CHILD_SUBTREE_COUNT);
    }
}

/* Encodes a node into a whole block. Only the significant entries are written (records
 * 0..count-1, children 0..count); every other byte of the block is zero. */
inline void encode_node(const index_node *node, uint8_t *blk)
{
    int count = node->count > NODE_SLOTS ? NODE_SLOTS : node->count;
    put_u16le(blk + NODE_PARENT, node->parent);
    put_u16le(blk + NODE_POS_IN_PARENT, node->pos_in_parent);
    put_u16le(blk + NODE_SELF, node->self);
    put_u16le(blk + NODE_COUNT, node->count);
    for (int i = 0; i < NODE_SLOTS; i++)
        put_u32le(blk + NODE_RECORDS + 4 * i, i < count ? node->records[i] : 0);
    for (int i = 0; i <= NODE_SLOTS; i++) {
        uint8_t *c = blk + NODE_CHILDREN + CHILD_SIZE * i;
        bool sig = i <= count;
        put_u16le(c + CHILD_BLOCK, sig ? node->children[i].block : 0);
        put_u32le(c + CHILD_SUBTREE_COUNT, sig ? node->children[i].subtree_count : 0);
    }
    for (size_t i = NODE_END; i < BLOCK_SIZE; i++)
        blk[i] = 0;
}

#endif
