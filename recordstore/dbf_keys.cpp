/* The keys kept beside an index's blocks (struct key_cache): what a search compares, without
 * reading each record from the record file at each step of a descent.
 *
 * A region per block holds, for each entry position, the record number it was filled for
 * (its tag) and that record's key. A search takes the kept key when the tag is the record
 * number the node holds at that position, and otherwise reads the record and keeps its key.
 * So a region never has to follow the node's changes to stay right, only to stay useful: an
 * insertion moves the kept keys along with the entries, and a split or deletion simply
 * leaves tags that no longer match. What the tags cannot see is a record whose bytes change
 * under the same number; the record file's key_epoch moves then (dbf_slot.cpp), and a region
 * stamped with an older epoch is emptied before use.
 */
#include <stdlib.h>
#include <string.h>

#include "dbf_tree.h"

namespace {

constexpr uint32_t NO_RECORD = 0xFFFFFFFFu;   /* the tag of an empty entry */
constexpr uint32_t FIRST_REGIONS = 64;

size_t keys_at() { return 4 * NODE_SLOTS; }   /* the tags come first */

/* Makes the cache of index slot is hold regions for blocks up to blk, doubling. 0 when memory
 * ran out (the cache stays as it was, in a state that still counts). */
int keys_reserve(int is, uint32_t blk)
{
    key_cache *k = &slot_table[is].keys;
    uint32_t want = k->blocks ? k->blocks : FIRST_REGIONS;
    while (want <= blk)
        want *= 2;
    uint32_t stride = (uint32_t)keys_at() + NODE_SLOTS * (uint32_t)slot_table[is].key_length;
    uint64_t *stamps = (uint64_t *)realloc(k->stamps, want * sizeof *stamps);
    if (!stamps)
        return 0;
    k->stamps = stamps;
    uint8_t *mem = (uint8_t *)realloc(k->mem, (size_t)want * stride);
    if (!mem)
        return 0;
    memset(stamps + k->blocks, 0, (want - k->blocks) * sizeof *stamps);
    k->mem = mem;
    k->blocks = want;
    k->stride = stride;
    return 1;
}

/* Reads the key of record recno into kept. 1, or 0 with last_error 4. */
int fetch_key(int rs, int is, uint32_t recno, uint8_t *kept)
{
    const slot_state *x = &slot_table[is];
    size_t len = (size_t)x->key_length;
    uint64_t off = record_offset(rs, (int32_t)recno) + (uint64_t)x->key_offset;
    const uint8_t *p = file_peek(rs, off, len);
    if (!p)
        return record_key(rs, is, (int32_t)recno, kept);
    memcpy(kept, p, len);
    return 1;
}

/* Compares the key of entry i, record recno, of the block whose region is given (NULL: the
 * record's own key) with key: <0, 0, >0 in *cmp. 1, or 0 with last_error 4 when the record
 * does not exist. */
inline int compare_entry_key(int rs, int is, uint8_t *region, int i, uint32_t recno,
                             const uint8_t *key, int *cmp)
{
    if (recno >= (uint32_t)slot_table[rs].record_count)
        return corrupt();
    if (!region)
        return compare_record_key(rs, is, recno, key, cmp);
    size_t len = (size_t)slot_table[is].key_length;
    uint8_t *tag = region + 4 * i;
    uint8_t *kept = region + keys_at() + len * i;
    if (get_u32le(tag) != recno) {
        if (!fetch_key(rs, is, recno, kept)) {
            put_u32le(tag, NO_RECORD);
            return 0;
        }
        put_u32le(tag, recno);
    }
    *cmp = key_compare(kept, key, len);
    return 1;
}

} // namespace

uint8_t *key_region(int rs, int is, uint32_t blk)
{
    key_cache *k = &slot_table[is].keys;
    if (cache_mode == CACHE_OFF || (blk >= k->blocks && !keys_reserve(is, blk)))
        return nullptr;
    uint8_t *region = k->mem + (size_t)blk * k->stride;
    uint64_t epoch = slot_table[rs].key_epoch;
    if (k->stamps[blk] != epoch) {
        memset(region, 0xFF, 4 * NODE_SLOTS);
        k->stamps[blk] = epoch;
    }
    return region;
}

int key_position(int rs, int is, uint32_t blk, const uint8_t *v, const uint8_t *key, int mode,
                 bool last_first)
{
    int count = node_count_at(v);
    if (count == 0)
        return 0;
    uint8_t *region = key_region(rs, is, blk);
    int lo = 0, hi = count - 1, cmp = 0;
    if (last_first) {
        if (!compare_entry_key(rs, is, region, hi, node_record_at(v, hi), key, &cmp))
            return -1;
        if (cmp < 0 || (cmp == 0 && mode == FIND_INSERT))
            return count;
    }
    while (hi - lo > 1) {
        int mid = (lo + hi) / 2;
        if (!compare_entry_key(rs, is, region, mid, node_record_at(v, mid), key, &cmp))
            return -1;
        if (cmp > 0 || (cmp == 0 && mode == FIND_FIND))
            hi = mid;
        else
            lo = mid;
    }
    int p = lo;
    while (p <= hi) {
        if (!compare_entry_key(rs, is, region, p, node_record_at(v, p), key, &cmp))
            return -1;
        if (cmp > 0 || (cmp == 0 && mode == FIND_FIND))
            break;
        p++;
    }
    return p;
}

void keys_shift_in(int rs, int is, uint32_t blk, int p, int count, uint32_t recno,
                   const uint8_t *key)
{
    uint8_t *region = key_region(rs, is, blk);
    if (!region)
        return;
    size_t len = (size_t)slot_table[is].key_length;
    uint8_t *tags = region, *keys = region + keys_at();
    memmove(tags + 4 * (p + 1), tags + 4 * p, 4 * (size_t)(count - p));
    memmove(keys + len * (p + 1), keys + len * p, len * (size_t)(count - p));
    put_u32le(tags + 4 * p, recno);
    memcpy(keys + len * p, key, len);
}

void keys_prefetch(int is, uint32_t blk)
{
#if defined(__GNUC__)
    const uint8_t *b = file_peek(is, (uint64_t)blk * BLOCK_SIZE, BLOCK_SIZE);
    if (b)
        for (int line = 0; line < 4; line++)
            __builtin_prefetch(b + 64 * line);
    /* The tags, and the keys that a binary search's first probes compare. */
    const key_cache *k = &slot_table[is].keys;
    if (blk < k->blocks) {
        const uint8_t *region = k->mem + (size_t)blk * k->stride;
        size_t len = (size_t)slot_table[is].key_length;
        for (size_t line = 0; line < 4 * NODE_SLOTS; line += 64)
            __builtin_prefetch(region + line);
        for (int i = NODE_MIN / 2; i <= NODE_MIN + NODE_MIN / 2; i += NODE_MIN / 2)
            __builtin_prefetch(region + keys_at() + len * i);
    }
#else
    (void)is;
    (void)blk;
#endif
}
