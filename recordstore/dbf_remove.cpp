/* Removal of one entry from one index and the repair of the tree: remove_entry,
 * rebalance_after_delete (borrow from the left, borrow from the right, merge), the collapse
 * of an empty internal root, and release_block, which keeps the index file free of holes.
 * Works on the three node buffers: node_slot::work the node that lost an entry,
 * node_slot::parent its parent, node_slot::sibling the sibling it borrows from or merges with.
 */
#include <string.h>

#include "dbf_tree.h"

namespace {

/* Reads the child of `parent` at position k into node and checks that it points back. */
int read_child(int is, const index_node *parent, int k, index_node *node)
{
    if (!node_read(is, parent->children[k].block, node))
        return 0;
    if (node->parent != parent->self)
        return corrupt();
    return 1;
}

/* Moves the last block of index slot is (read into `moved`) into block b: its parent's child
 * entry, its children's parent and, for the root, root_block follow it. */
int move_last_block(int is, uint32_t b, index_node *moved, index_node *other)
{
    uint32_t last = index_block_count(is) - 1;
    if (!node_read(is, last, moved))
        return 0;
    if (moved->count > NODE_MAX)
        return corrupt();
    if (moved->parent != 0) {
        if (!read_parent(is, moved, other))
            return 0;
        other->children[moved->pos_in_parent].block = (uint16_t)b;
        if (!node_write(is, other->self, other))
            return 0;
    } else if (slot_table[is].root_block != last) {
        return corrupt();
    }
    if (!node_is_leaf(moved)) {
        for (int k = 0; k <= moved->count; k++) {
            if (!node_read(is, moved->children[k].block, other))
                return 0;
            if (other->parent != last)
                return corrupt();
            other->parent = (uint16_t)b;
            if (!node_write(is, other->self, other))
                return 0;
        }
    }
    moved->self = (uint16_t)b;
    if (!node_write(is, b, moved))
        return 0;
    if (moved->parent == 0)
        slot_table[is].root_block = (uint16_t)b;
    return 1;
}

/* release_block: frees block b of index slot is without leaving a hole. When b is the last
 * block the file is shortened by one block; otherwise the last block moves into b first.
 * 1, or 0 with last_error 4 (corrupt links) or 6 (write or truncation failed). Uses
 * node_slot::sibling for the moved node and node_slot::parent for its relatives. */
int release_block(int is, uint32_t b)
{
    uint32_t blocks = index_block_count(is);
    if (b == 0 || b >= blocks || blocks <= 2)
        return corrupt();
    uint32_t last = blocks - 1;
    if (b != last &&
        !move_last_block(is, b, node_buffer(node_slot::sibling), node_buffer(node_slot::parent)))
        return 0;
    return index_shorten(is, last);
}

/* Collapse of an internal root without entries: its only child becomes the root and the old
 * root's block is released. The old root is in node_slot::work. */
int collapse_root(int is)
{
    index_node *root = node_buffer(node_slot::work);
    index_node *child = node_buffer(node_slot::parent);
    if (root->self != slot_table[is].root_block)
        return corrupt();
    if (!read_child(is, root, 0, child))
        return 0;
    child->parent = 0;
    child->pos_in_parent = 0;
    if (!node_write(is, child->self, child))
        return 0;
    slot_table[is].root_block = child->self;
    return release_block(is, root->self);
}

/* Reads the parent P of W (23 entries) and the sibling S that W borrows from or merges with:
 * the left one when W is P's last child, else the right one. *h is W's position in P. */
int read_family(int is, int *h, bool *left)
{
    index_node *w = node_buffer(node_slot::work);
    index_node *p = node_buffer(node_slot::parent);
    index_node *s = node_buffer(node_slot::sibling);
    if (!read_parent(is, w, p))
        return 0;
    if (p->count == 0 || p->count > NODE_MAX)
        return corrupt();
    *h = w->pos_in_parent;
    *left = *h == p->count;
    int sh = *left ? *h - 1 : *h + 1;
    if (!read_child(is, p, sh, s))
        return 0;
    if (s->pos_in_parent != sh || s->count < NODE_MIN || s->count > NODE_MAX ||
        node_is_leaf(s) != node_is_leaf(w))
        return corrupt();
    return 1;
}

/* Borrow from the left: the separator P[h - 1] comes down to W's front, S's last entry goes
 * up in its place, S's last child moves to W's front. */
int borrow_from_left(int is, int h)
{
    index_node *w = node_buffer(node_slot::work);
    index_node *p = node_buffer(node_slot::parent);
    index_node *s = node_buffer(node_slot::sibling);
    bool internal = !node_is_leaf(w);
    int sc = s->count;
    uint32_t moved = s->children[sc].subtree_count + 1;
    if (p->children[h - 1].subtree_count < moved)
        return corrupt();
    memmove(&w->records[1], &w->records[0], (NODE_MIN - 1) * sizeof w->records[0]);
    memmove(&w->children[1], &w->children[0], NODE_MIN * sizeof w->children[0]);
    w->records[0] = p->records[h - 1];
    w->children[0] = s->children[sc];
    p->records[h - 1] = s->records[sc - 1];
    w->count = NODE_MIN;
    s->count = (uint16_t)(sc - 1);
    p->children[h].subtree_count += moved;
    p->children[h - 1].subtree_count -= moved;
    if (!node_write(is, w->self, w) || !node_write(is, p->self, p) || !node_write(is, s->self, s))
        return 0;
    return internal ? adopt_children(is, w, 0, NODE_MIN, s) : 1;
}

/* Borrow from the right: the separator P[h] comes down to W's end, S's first entry goes up
 * in its place, S's first child moves to W's end. */
int borrow_from_right(int is, int h)
{
    index_node *w = node_buffer(node_slot::work);
    index_node *p = node_buffer(node_slot::parent);
    index_node *s = node_buffer(node_slot::sibling);
    bool internal = !node_is_leaf(w);
    int sc = s->count;
    uint32_t moved = s->children[0].subtree_count + 1;
    if (p->children[h + 1].subtree_count < moved)
        return corrupt();
    w->records[NODE_MIN - 1] = p->records[h];
    w->children[NODE_MIN] = s->children[0];
    w->count = NODE_MIN;
    p->children[h].subtree_count += moved;
    p->records[h] = s->records[0];
    p->children[h + 1].subtree_count -= moved;
    memmove(&s->records[0], &s->records[1], (size_t)(sc - 1) * sizeof s->records[0]);
    memmove(&s->children[0], &s->children[1], (size_t)sc * sizeof s->children[0]);
    s->count = (uint16_t)(sc - 1);
    if (!node_write(is, w->self, w) || !node_write(is, p->self, p) || !node_write(is, s->self, s))
        return 0;
    if (!internal)
        return 1;
    /* S's children all moved one place down; W gained one child at its end. */
    return adopt_children(is, w, NODE_MIN, NODE_MIN, p) && adopt_children(is, s, 0, s->count, p);
}

/* Joins W and S (23 and 24 entries) and their separator into one node of 48 in the left
 * one's block, and takes the separator and the right one's child entry out of P. Leaves the
 * merged node in node_slot::work and gives the freed (right) block. */
uint32_t join_siblings(int h, bool left)
{
    index_node *w = node_buffer(node_slot::work);
    index_node *p = node_buffer(node_slot::parent);
    index_node *s = node_buffer(node_slot::sibling);
    /* P's entry sep and child sep + 1 leave it; children after sep change place. */
    int sep = left ? h - 1 : h;
    index_node *lo = left ? s : w, *hi = left ? w : s;
    int lo_count = lo->count, hi_count = hi->count;
    lo->records[lo_count] = p->records[sep];
    memcpy(&lo->records[lo_count + 1], &hi->records[0], (size_t)hi_count * sizeof hi->records[0]);
    memcpy(&lo->children[lo_count + 1], &hi->children[0],
           (size_t)(hi_count + 1) * sizeof hi->children[0]);
    lo->count = NODE_MAX;
    p->children[sep].subtree_count += p->children[sep + 1].subtree_count + 1;
    uint32_t freed = hi->self;
    int pc = p->count;
    memmove(&p->records[sep], &p->records[sep + 1], (size_t)(pc - 1 - sep) * sizeof p->records[0]);
    memmove(&p->children[sep + 1], &p->children[sep + 2],
            (size_t)(pc - 1 - sep) * sizeof p->children[0]);
    p->count = (uint16_t)(pc - 1);
    if (left)
        memcpy(w, s, sizeof *s);
    return freed;
}

/* Merge: W and S make one node (join_siblings), P loses an entry, the children of P and of
 * the merged node learn their new places, and the freed block is released. Then P, which
 * may now be short itself, is read into node_slot::work: from its block if that is still inside
 * the file, otherwise from the freed block (P was the last block and moved there). */
int merge_siblings(int is, int h, bool left)
{
    index_node *w = node_buffer(node_slot::work);
    index_node *p = node_buffer(node_slot::parent);
    index_node *s = node_buffer(node_slot::sibling);
    bool internal = !node_is_leaf(w);
    int sep = left ? h - 1 : h;
    uint32_t freed = join_siblings(h, left);
    if (!node_write(is, p->self, p) || !node_write(is, w->self, w))
        return 0;
    if (!adopt_children(is, p, sep + 1, p->count, s))
        return 0;
    if (internal && !adopt_children(is, w, left ? NODE_MIN + 1 : NODE_MIN, NODE_MAX, s))
        return 0;
    uint16_t pblk = p->self;
    if (!release_block(is, freed))
        return 0;
    uint32_t next = pblk < index_block_count(is) ? pblk : freed;
    return node_read(is, next, w);
}

/* rebalance_after_delete: repairs the tree upwards from the node in node_slot::work, which has
 * just lost an entry, until every node outside the root holds 24 to 48 entries: borrow from
 * the left or right sibling, or merge with it and continue with the parent, which lost an
 * entry in the merge. An internal root left without entries is collapsed; a root leaf
 * without entries is the empty index and stays. 1, or 0 with last_error 4 or 6. */
int rebalance_after_delete(int is)
{
    index_node *w = node_buffer(node_slot::work);
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (w->parent == 0)
            return w->count > 0 || node_is_leaf(w) ? 1 : collapse_root(is);
        if (w->count >= NODE_MIN)
            return 1;
        /* A node outside the root had at least 24 entries before it lost one. */
        if (w->count != NODE_MIN - 1)
            return corrupt();
        int h = 0;
        bool left = false;
        if (!read_family(is, &h, &left))
            return 0;
        if (node_buffer(node_slot::sibling)->count > NODE_MIN)
            return left ? borrow_from_left(is, h) : borrow_from_right(is, h);
        if (!merge_siblings(is, h, left))
            return 0;
    }
    return corrupt();
}

/* Replaces the entry at the cursor of internal node W (in node_slot::work) by its predecessor, the
 * last entry of a leaf, and leaves that leaf in node_slot::work with the cursor on the entry to
 * drop. 0 with last_error 4 when the step back fails (nothing is changed then). */
int take_predecessor(int rs, int n)
{
    int is = index_slot(rs, n);
    const slot_state *x = &slot_table[is];
    index_node *w = node_buffer(node_slot::work);
    index_node *p = node_buffer(node_slot::parent);
    uint16_t inner = w->self;
    int inner_pos = x->cursor_pos;
    if (seek_rank(rs, n, -1, DBF_SEEK_CUR) < 0)
        return corrupt();
    if (!node_read(is, x->cursor_block, w))
        return 0;
    int pos = x->cursor_pos;
    if (!node_is_leaf(w) || w->count == 0 || pos != w->count - 1)
        return corrupt();
    if (!node_read(is, inner, p) || inner_pos >= p->count)
        return corrupt();
    p->records[inner_pos] = w->records[pos];
    return node_write(is, inner, p);
}

} // namespace

int remove_entry(int rs, int n)
{
    int is = index_slot(rs, n);
    const slot_state *x = &slot_table[is];
    index_node *w = node_buffer(node_slot::work);
    if (!node_read(is, x->cursor_block, w))
        return 0;
    int pos = x->cursor_pos;
    if (pos < 0 || pos >= w->count || w->records[pos] != (uint32_t)x->cursor_record)
        return corrupt();
    if (!node_is_leaf(w)) {
        if (!take_predecessor(rs, n))
            return 0;
        pos = x->cursor_pos;
    }
    int count = w->count;
    memmove(&w->records[pos], &w->records[pos + 1], (size_t)(count - 1 - pos) * sizeof w->records[0]);
    w->count = (uint16_t)(count - 1);
    if (!node_write(is, w->self, w))
        return 0;
    if (!adjust_ancestor_counts(is, w, -1))
        return 0;
    if (slot_table[rs].record_count > 1)
        return rebalance_after_delete(is);
    return 1;
}
