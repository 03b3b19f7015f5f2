/* Index nodes: the node and key buffers, reading and writing one node, the links between a
 * node and its parent, and the cursor fields of an index slot.
 */
#include <string.h>

#include "dbf_tree.h"

namespace {
index_node node_buffers[3];
}

index_node *node_buffer(node_slot slot) { return &node_buffers[(int)slot]; }
uint8_t key_buffers[2][DBF_MAX_KEY];

/* ---- nodes ---- */

int node_read(int is, uint32_t blk, index_node *node)
{
    if (blk == 0 || blk >= index_block_count(is))
        return corrupt();
    uint64_t off = (uint64_t)blk * BLOCK_SIZE;
    const uint8_t *p = file_peek(is, off, BLOCK_SIZE);
    uint8_t buf[BLOCK_SIZE];
    if (!p) {
        if (!file_read_at(is, off, buf, BLOCK_SIZE))
            return 0;
        p = buf;
    }
    decode_node(p, node);
    if (node->count > NODE_SLOTS || node->self != blk)
        return corrupt();
    return 1;
}

const uint8_t *block_view(int is, uint32_t blk, uint8_t *scratch)
{
    if (blk == 0 || blk >= index_block_count(is)) {
        corrupt();
        return nullptr;
    }
    uint64_t off = (uint64_t)blk * BLOCK_SIZE;
    const uint8_t *v = file_peek(is, off, BLOCK_SIZE);
    if (!v) {
        if (!file_read_at(is, off, scratch, BLOCK_SIZE))
            return nullptr;
        v = scratch;
    }
    if (node_count_at(v) > NODE_SLOTS || node_self_at(v) != blk) {
        corrupt();
        return nullptr;
    }
    return v;
}

int node_write(int is, uint32_t blk, const index_node *node)
{
    if (blk == 0 || blk > MAX_BLOCK || blk > index_block_count(is))
        return corrupt();
    uint8_t buf[BLOCK_SIZE];
    encode_node(node, buf);
    return file_write_at(is, (uint64_t)blk * BLOCK_SIZE, buf, BLOCK_SIZE);
}

int write_empty_node(int is, uint32_t blk)
{
    index_node *node = node_buffer(node_slot::parent);
    memset(node, 0, sizeof *node);
    node->self = (uint16_t)blk;
    return node_write(is, blk, node);
}

int index_shorten(int is, uint32_t blocks)
{
    if (blocks < 2) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    return file_shorten(is, (uint64_t)blocks * BLOCK_SIZE);
}

int64_t index_entries(int is)
{
    index_node *node = node_buffer(node_slot::work);
    if (!node_read(is, slot_table[is].root_block, node))
        return -1;
    int64_t total = node->count;
    if (!node_is_leaf(node))
        for (int k = 0; k <= node->count; k++)
            total += node->children[k].subtree_count;
    return total;
}

/* ---- links ---- */

int read_parent(int is, const index_node *node, index_node *parent)
{
    uint16_t child = node->self;
    int pos = node->pos_in_parent;
    if (!node_read(is, node->parent, parent))
        return 0;
    if (!points_to(parent, pos, child))
        return corrupt();
    return 1;
}

int climb(int is, index_node *node, int *pos)
{
    if (node->parent == 0)
        return 0;
    int j = node->pos_in_parent;
    if (!read_parent(is, node, node))
        return -1;
    *pos = j;
    return 1;
}

int adjust_counts_above(int is, uint16_t child, int pos, uint16_t up, int delta)
{
    uint8_t scratch[BLOCK_SIZE];
    for (int depth = 0; up != 0; depth++) {
        const uint8_t *v = depth < MAX_DEPTH ? block_view(is, up, scratch) : nullptr;
        if (!v || pos > node_count_at(v) || node_child_at(v, pos) != child)
            return corrupt();
        uint32_t count = node_subtree_at(v, pos);
        if (delta < 0 && count == 0)
            return corrupt();
        uint8_t field[4];
        put_u32le(field, delta < 0 ? count - 1 : count + 1);
        /* The next link is read before the write, which may move the cached copy. */
        uint16_t next = node_parent_at(v);
        int next_pos = node_pos_at(v);
        uint64_t at = (uint64_t)up * BLOCK_SIZE + NODE_CHILDREN + CHILD_SIZE * pos;
        if (!file_write_at(is, at + CHILD_SUBTREE_COUNT, field, sizeof field))
            return 0;
        child = up;
        pos = next_pos;
        up = next;
    }
    return 1;
}

int adjust_ancestor_counts(int is, const index_node *node, int delta)
{
    return adjust_counts_above(is, node->self, node->pos_in_parent, node->parent, delta);
}

int adopt_children(int is, const index_node *parent, int first, int last, index_node *scratch)
{
    for (int k = first; k <= last; k++) {
        if (!node_read(is, parent->children[k].block, scratch))
            return 0;
        if (scratch->parent == parent->self && scratch->pos_in_parent == k)
            continue;
        scratch->parent = parent->self;
        scratch->pos_in_parent = (uint16_t)k;
        if (!node_write(is, scratch->self, scratch))
            return 0;
    }
    return 1;
}

/* ---- cursor ---- */

cursor_state cursor_save(int is)
{
    const slot_state *x = &slot_table[is];
    return cursor_state{x->cursor_block, x->cursor_pos, x->cursor_rank, x->cursor_record};
}

void cursor_restore(int is, const cursor_state &c)
{
    slot_state *x = &slot_table[is];
    x->cursor_block = c.block;
    x->cursor_pos = c.pos;
    x->cursor_rank = c.rank;
    x->cursor_record = c.record;
}

void set_cursor(int is, uint16_t blk, int pos, int64_t rank, uint32_t recno)
{
    slot_state *x = &slot_table[is];
    x->cursor_block = blk;
    x->cursor_pos = (int16_t)pos;
    x->cursor_rank = (int32_t)rank;
    x->cursor_record = (int32_t)recno;
}

int cursor_on_entry(int is, index_node *node)
{
    const slot_state *x = &slot_table[is];
    int saved = last_error;
    int ok = x->cursor_record >= 0 && x->cursor_pos >= 0 &&
             node_read(is, x->cursor_block, node) && x->cursor_pos < node->count &&
             node->records[x->cursor_pos] == (uint32_t)x->cursor_record;
    last_error = saved;
    return ok;
}
