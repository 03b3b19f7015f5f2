/* Searching an index: the key search that descends from the root (find_key), and the cursor
 * moves by rank, either descending from the root or walking from the cursor's node.
 */
#include <string.h>

#include "dbf_tree.h"

namespace {

/* What scan_node found in its node. */
enum { SCAN_END = 0, SCAN_FOUND = 1, SCAN_DESCENDED = 2 };

/* Scans the node in `node` for the entry of rank t, starting at child k and going in
 * direction dir: forward child k, entry k, child k + 1, entry k + 1, ...; backward child k,
 * entry k - 1, child k - 1, ..., child 0. *cur is the rank reached so far (the rank of the
 * entry the walk comes from); whole subtrees that do not reach t are skipped by their
 * counts. skip_child: child k has been walked already (the walk climbed out of it).
 * Returns SCAN_FOUND with the cursor set, SCAN_DESCENDED with the child that holds t read
 * into `node`, SCAN_END when the node holds no more items, or -1 with last_error 4. */
int scan_node(int is, index_node *node, int64_t t, int dir, int k, bool skip_child,
              int64_t *cur)
{
    bool leaf = node_is_leaf(node);
    for (; k >= 0 && k <= node->count; k += dir) {
        if (!skip_child && !leaf) {
            int64_t sc = node->children[k].subtree_count;
            if ((t - *cur) * dir <= sc)
                return node_read(is, node->children[k].block, node) ? SCAN_DESCENDED : -1;
            *cur += dir * sc;
        }
        skip_child = false;
        int e = dir > 0 ? k : k - 1;
        if (e >= 0 && e < node->count) {
            *cur += dir;
            if (*cur == t) {
                set_cursor(is, node->self, e, t, node->records[e]);
                return SCAN_FOUND;
            }
        }
    }
    return SCAN_END;
}

/* Walks from the cursor's entry (node already in node_slot::work) to the entry of rank t, forward
 * or backward: through the rest of the node, down into the child that holds t, or up to the
 * parent, continuing after (or before) the child the walk came from. Returns as
 * seek_descend. */
int seek_walk(int is, int64_t t)
{
    index_node *node = node_buffer(node_slot::work);
    int64_t cur = slot_table[is].cursor_rank;
    int dir = t > cur ? 1 : -1;
    int k = slot_table[is].cursor_pos + (dir > 0 ? 1 : 0);
    bool skip_child = false;
    for (int steps = 0; steps < 4 * MAX_DEPTH; steps++) {
        int got = scan_node(is, node, t, dir, k, skip_child, &cur);
        if (got == SCAN_FOUND)
            return 1;
        if (got < 0)
            return -1;
        if (got == SCAN_DESCENDED) {
            k = dir > 0 ? 0 : node->count;
            skip_child = false;
            continue;
        }
        int j = 0;
        int up = climb(is, node, &j);
        if (up <= 0)
            return up;
        k = j;
        skip_child = true;
    }
    corrupt();
    return -1;
}

} // namespace

int compare_record_key(int rs, int is, uint32_t recno, const uint8_t *key, int *cmp)
{
    const slot_state *x = &slot_table[is];
    size_t len = (size_t)x->key_length;
    if (recno >= (uint32_t)slot_table[rs].record_count)
        return corrupt();
    uint64_t off = record_offset(rs, (int32_t)recno) + (uint64_t)x->key_offset;
    const uint8_t *p = file_peek(rs, off, len);
    if (!p) {
        if (!record_key(rs, is, (int32_t)recno, key_buffers[1]))
            return 0;
        p = key_buffers[1];
    }
    *cmp = key_compare(p, key, len);
    return 1;
}

int32_t find_key(int rs, int n, const uint8_t *key, int mode)
{
    int is = index_slot(rs, n);
    uint8_t scratch[BLOCK_SIZE];
    uint32_t blk = slot_table[is].root_block;
    int64_t rank = 0;
    /* Keys loaded in order go after every other, down the right edge of the tree: when the
     * last one did, the search looks there first while it stays on that edge. */
    bool hint = mode == FIND_INSERT && slot_table[is].beyond_last;
    bool edge = true;
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        const uint8_t *v = block_view(is, blk, scratch);
        if (!v)
            return -1;
        int p = key_position(rs, is, blk, v, key, mode, hint && edge);
        if (p < 0)
            return -1;
        edge = edge && p == node_count_at(v);
        if (node_child_at(v, p) != 0)
            keys_prefetch(is, node_child_at(v, p));
        for (int k = 0; k < p; k++)
            rank += (int64_t)node_subtree_at(v, k) + 1;
        if (rank > INT32_MAX)
            return corrupt() - 1;
        if (node_child_at(v, p) != 0) {
            blk = node_child_at(v, p);
            continue;
        }
        int count = node_count_at(v);
        if (mode == FIND_INSERT)
            slot_table[is].beyond_last = edge;
        set_cursor(is, (uint16_t)blk, p, rank, p < count ? node_record_at(v, p) : 0);
        if (p >= count)
            slot_table[is].cursor_record = -1;
        return (int32_t)rank;
    }
    return corrupt() - 1;
}

int seek_descend(int is, int64_t t)
{
    uint8_t scratch[BLOCK_SIZE];
    uint32_t blk = slot_table[is].root_block;
    int64_t base = -1;
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        const uint8_t *v = block_view(is, blk, scratch);
        if (!v)
            return -1;
        int count = node_count_at(v);
        if (node_child_at(v, 0) == 0) {
            int64_t idx = t - base - 1;
            if (idx >= count)
                return 0;
            set_cursor(is, (uint16_t)blk, (int)idx, t, node_record_at(v, (int)idx));
            return 1;
        }
        int k = 0;
        for (; k <= count; k++) {
            int64_t sc = node_subtree_at(v, k);
            if (base + sc >= t)
                break;
            base += sc + 1;
            if (base == t && k < count) {
                set_cursor(is, (uint16_t)blk, k, t, node_record_at(v, k));
                return 1;
            }
        }
        if (k > count)
            return 0;
        blk = node_child_at(v, k);
    }
    corrupt();
    return -1;
}

int32_t seek_rank(int rs, int n, int32_t offset, int whence)
{
    int is = index_slot(rs, n);
    slot_state *x = &slot_table[is];
    int32_t count = slot_table[rs].record_count;
    if (count == 0)
        return 0;
    int64_t t;
    switch (whence) {
    case DBF_SEEK_SET: t = offset; break;
    case DBF_SEEK_CUR: t = (int64_t)x->cursor_rank + offset; break;
    case DBF_SEEK_END: t = (int64_t)count - 1 + offset; break;
    default: last_error = DBF_ERR_WHENCE; return -1;
    }
    if (t < 0 || t > (int64_t)count - 1) {
        last_error = DBF_ERR_RANK;
        return -1;
    }
    cursor_state before = cursor_save(is);
    int found;
    if (whence == DBF_SEEK_CUR && cursor_on_entry(is, node_buffer(node_slot::work)))
        found = t == x->cursor_rank ? 1 : seek_walk(is, t);
    else
        found = seek_descend(is, t);
    if (found != 1) {
        /* The cursor stays where it was. */
        cursor_restore(is, before);
        return found == 0 ? -9 : -1;
    }
    return (int32_t)t;
}
