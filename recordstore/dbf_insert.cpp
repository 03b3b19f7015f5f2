/* Insertion: one record number into one index (the search for its place, the walk up the
 * subtree counts, the splits of overfull nodes), the check that an index has block numbers
 * left for it, and the loops that enter records into every open index or fill a new one.
 */
#include <string.h>

#include "dbf_tree.h"

namespace {

/* Blocks that an insertion into `leaf` appends: one for each node that splits, the leaf when
 * it is full and then every full ancestor in turn, and one more for a new root when the root
 * splits too. -1 with last_error 4 when a parent does not point back at its child. */
int split_blocks_needed(int is, const index_node *leaf)
{
    if (leaf->count < NODE_MAX)
        return 0;
    int need = 1;
    index_node up = *leaf;
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (up.parent == 0)
            return need + 1;
        if (!read_parent(is, &up, &up))
            return -1;
        if (up.count < NODE_MAX)
            return need;
        need++;
    }
    return corrupt() - 1;
}

/* What the two halves of a split leave for the parent. */
struct split_halves {
    int q;                  /* the left half's position in the parent */
    uint16_t left, right;   /* their blocks */
    uint32_t median;        /* the separator that goes up */
    uint32_t left_total, right_total;
};

/* Puts a new, empty root above the overfull root in `node`, as the last block of the file. */
int grow_root(int is, index_node *node)
{
    uint32_t root = index_block_count(is);
    if (root > MAX_BLOCK) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    if (!write_empty_node(is, root))
        return 0;
    node->parent = (uint16_t)root;
    slot_table[is].root_block = (uint16_t)root;
    return 1;
}

/* The split's first half: the overfull node keeps its first 24 entries and 25 children in
 * its own block; the median entry will go up. */
int write_left_half(int is, index_node *node, split_halves *h)
{
    h->q = node->pos_in_parent;
    h->left = node->self;
    h->median = node->records[NODE_MIN];
    h->left_total = NODE_MIN;
    for (int k = 0; k <= NODE_MIN; k++)
        h->left_total += node->children[k].subtree_count;
    node->count = NODE_MIN;
    return node_write(is, h->left, node);
}

/* The split's second half: the last 24 entries and 25 children of the node (still whole in
 * `node`'s arrays) move to a new block at the end of the file, placed after the left half in
 * the parent; their children learn the new parent. */
int write_right_half(int is, index_node *node, split_halves *h)
{
    uint32_t right = index_block_count(is);
    if (right > MAX_BLOCK) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    h->right = (uint16_t)right;
    h->right_total = NODE_MIN;
    for (int k = 0; k <= NODE_MIN; k++)
        h->right_total += node->children[NODE_MIN + 1 + k].subtree_count;
    node->self = h->right;
    node->pos_in_parent = (uint16_t)(h->q + 1);
    memmove(&node->records[0], &node->records[NODE_MIN + 1], NODE_MIN * sizeof node->records[0]);
    memmove(&node->children[0], &node->children[NODE_MIN + 1],
            (NODE_MIN + 1) * sizeof node->children[0]);
    node->count = NODE_MIN;
    if (!node_write(is, right, node))
        return 0;
    if (node_is_leaf(node))
        return 1;
    return adopt_children(is, node, 0, NODE_MIN, node_buffer(node_slot::parent));
}

/* Enters both halves and the median into their parent (block up, read into node_slot::parent)
 * at the left half's place, and moves the positions of the later children on by one. */
int link_halves(int is, uint16_t up, const split_halves *h)
{
    index_node *parent = node_buffer(node_slot::parent);
    if (!node_read(is, up, parent))
        return 0;
    int count = parent->count, q = h->q;
    /* A root made for this split has no child yet; any other parent points at the left half. */
    if (count > NODE_MAX || q > count || (count > 0 && !points_to(parent, q, h->left)))
        return corrupt();
    memmove(&parent->records[q + 1], &parent->records[q],
            (size_t)(count - q) * sizeof parent->records[0]);
    memmove(&parent->children[q + 2], &parent->children[q + 1],
            (size_t)(count - q) * sizeof parent->children[0]);
    parent->children[q] = child_entry{h->left, h->left_total};
    parent->records[q] = h->median;
    parent->children[q + 1] = child_entry{h->right, h->right_total};
    parent->count = (uint16_t)(count + 1);
    if (!node_write(is, up, parent))
        return 0;
    /* The later children move one place on: their pos_in_parent, changed in place. */
    uint8_t scratch[BLOCK_SIZE];
    for (int k = q + 2; k <= parent->count; k++) {
        uint16_t blk = parent->children[k].block;
        const uint8_t *v = block_view(is, blk, scratch);
        if (!v)
            return 0;
        uint8_t pos[2];
        put_u16le(pos, (uint16_t)(node_pos_at(v) + 1));
        if (!file_write_at(is, (uint64_t)blk * BLOCK_SIZE + NODE_POS_IN_PARENT, pos, sizeof pos))
            return 0;
    }
    return 1;
}

/* Inserts record number recno at position p of the leaf in block blk, whose bytes are
 * `leaf` (read before any write, which may move the cached copy): the entries from p on
 * move up one place and the count grows, in one write of the count and the entries up to the
 * new last one; child entries p and count + 1, which a leaf keeps zero, are cleared where
 * they are not. */
int leaf_insert_at(int is, uint16_t blk, const uint8_t *leaf, int p, uint32_t recno)
{
    int count = node_count_at(leaf);
    uint8_t change[NODE_RECORDS - NODE_COUNT + 4 * NODE_SLOTS];
    uint8_t *records = change + (NODE_RECORDS - NODE_COUNT);
    put_u16le(change, (uint16_t)(count + 1));
    memcpy(records, leaf + NODE_RECORDS, 4 * (size_t)p);
    put_u32le(records + 4 * p, recno);
    memcpy(records + 4 * (p + 1), leaf + NODE_RECORDS + 4 * p, 4 * (size_t)(count - p));
    const int clear[2] = {p, count + 1};
    bool dirty[2];
    for (int c = 0; c < 2; c++)
        dirty[c] = node_child_at(leaf, clear[c]) != 0 || node_subtree_at(leaf, clear[c]) != 0;
    uint64_t at = (uint64_t)blk * BLOCK_SIZE;
    size_t len = (size_t)(records + 4 * (count + 1) - change);
    if (!file_write_at(is, at + NODE_COUNT, change, len))
        return 0;
    static const uint8_t zero[CHILD_SIZE] = {0};
    for (int c = 0; c < 2; c++)
        if (dirty[c] && !file_write_at(is, at + NODE_CHILDREN + CHILD_SIZE * clear[c], zero,
                                       CHILD_SIZE))
            return 0;
    return 1;
}

} // namespace

int index_has_room(int rs, int n, const uint8_t *key)
{
    int is = index_slot(rs, n);
    uint32_t blocks = index_block_count(is);
    /* No insertion into a tree this file can hold needs more blocks than that. */
    if (blocks + MAX_DEPTH + 1 <= MAX_BLOCK + 1)
        return 1;
    cursor_state before = cursor_save(is);
    index_node *leaf = node_buffer(node_slot::work);
    int need = find_key(rs, n, key, FIND_INSERT) < 0 ||
                       !node_read(is, slot_table[is].cursor_block, leaf)
                   ? -1
                   : split_blocks_needed(is, leaf);
    cursor_restore(is, before);
    if (need < 0)
        return 0;
    if (blocks + (uint32_t)need > MAX_BLOCK + 1) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    return 1;
}

int32_t insert_entry(int rs, int n, int32_t recno, const uint8_t *key)
{
    int is = index_slot(rs, n);
    int32_t rank = find_key(rs, n, key, FIND_INSERT);
    if (rank < 0)
        return -1;
    uint16_t blk = slot_table[is].cursor_block;
    uint8_t scratch[BLOCK_SIZE];
    const uint8_t *leaf = block_view(is, blk, scratch);
    if (!leaf)
        return -1;
    int count = node_count_at(leaf);
    if (node_child_at(leaf, 0) != 0 || count >= NODE_SLOTS)
        return corrupt() - 1;
    uint16_t parent = node_parent_at(leaf);
    int pos = node_pos_at(leaf);
    slot_table[is].cursor_record = recno;
    if (!leaf_insert_at(is, blk, leaf, slot_table[is].cursor_pos, (uint32_t)recno))
        return -1;
    keys_shift_in(rs, is, blk, slot_table[is].cursor_pos, count, (uint32_t)recno, key);
    if (!adjust_counts_above(is, blk, pos, parent, +1))
        return -1;
    if (count + 1 > NODE_MAX) {
        if (!node_read(is, blk, node_buffer(node_slot::work)) || !split_node(is))
            return -1;
        /* The split moved the new entry to another block or position: put the cursor on it
         * again so that it designates a real entry. */
        if (seek_descend(is, rank) != 1)
            return corrupt() - 1;
    }
    return rank;
}

int split_node(int is)
{
    index_node *node = node_buffer(node_slot::work);
    index_node *parent = node_buffer(node_slot::parent);
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (node->count != NODE_SLOTS)
            return corrupt();
        if (node->parent == 0 && !grow_root(is, node))
            return 0;
        split_halves h;
        if (!write_left_half(is, node, &h) || !write_right_half(is, node, &h))
            return 0;
        if (!link_halves(is, node->parent, &h))
            return 0;
        if (parent->count <= NODE_MAX)
            return 1;
        *node = *parent;
    }
    return corrupt();
}

int indexes_have_room(int rs, const uint8_t *record)
{
    const slot_state *s = &slot_table[rs];
    for (int n = 1; n <= DBF_MAX_INDEX; n++)
        if (s->index_handle[n] != 0 &&
            !index_has_room(rs, n, record + slot_table[index_slot(rs, n)].key_offset))
            return 0;
    return 1;
}

int insert_into_indexes(int rs, int32_t recno, const uint8_t *record)
{
    const slot_state *s = &slot_table[rs];
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        if (s->index_handle[n] == 0)
            continue;
        int is = index_slot(rs, n);
        int32_t c = slot_table[is].cursor_rank;
        int32_t i = insert_entry(rs, n, recno, record + slot_table[is].key_offset);
        if (i < 0)
            return 0;
        int32_t target = c >= i ? c + 1 : c;
        if (seek_rank(rs, n, target, DBF_SEEK_SET) != target)
            seek_rank(rs, n, i, DBF_SEEK_SET);
    }
    return 1;
}

int fill_index(int rs, int n, int g)
{
    int32_t count = slot_table[rs].record_count;
    if (count == 0)
        return 1;
    int is = index_slot(rs, n);
    int32_t saved = g != 0 ? slot_table[index_slot(rs, g)].cursor_rank : 0;
    int ok = g == 0 || seek_rank(rs, g, 0, DBF_SEEK_SET) == 0;
    for (int32_t k = 0; ok && k < count; k++) {
        int32_t r = g != 0 ? slot_table[index_slot(rs, g)].cursor_record : k;
        ok = record_key(rs, is, r, key_buffers[0]) && index_has_room(rs, n, key_buffers[0]) &&
             insert_entry(rs, n, r, key_buffers[0]) >= 0;
        if (ok && g != 0 && k + 1 < count)
            ok = seek_rank(rs, g, 1, DBF_SEEK_CUR) == k + 1;
    }
    if (!ok) {
        /* A move of index g that found no entry leaves last_error 0: g is corrupt. */
        if (last_error == DBF_OK)
            last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    if (g != 0)
        seek_rank(rs, g, saved, DBF_SEEK_SET);
    return 1;
}
