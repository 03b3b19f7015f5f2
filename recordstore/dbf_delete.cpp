/* Record deletion: delete_member and its steps remove_entry, rebalance_after_delete and
 * release_block. Keeps no state of its own; works on the slot table, the three node buffers
 * (NODE_WORK the node that lost an entry, NODE_PARENT_BUF its parent, NODE_SIBLING the
 * sibling it borrows from or merges with) and key_buffers[0].
 *
 * What a deletion leaves behind, besides the tree invariants of dbf_format.h:
 *  - the record file is dense: the last record has moved into the freed place and taken its
 *    number, and the file is one record shorter;
 *  - every index file is free of holes: a node that a merge or a root collapse frees is
 *    replaced by the file's last block, and the file is one block shorter;
 *  - every cursor is on the record it was on (which may carry a new number), or, where that
 *    record was the deleted one, on the record that followed it (or on the new last entry).
 *
 * The work is done in three phases so that a corrupt index found while looking things up
 * changes nothing:
 *  1. find the deleted record's entry in every open index (reads only);
 *  2. remove those entries and repair the trees;
 *  3. renumber the last record in every index, copy it into the freed place, shorten the
 *     record file.
 * A failure in phase 2 or 3 (a corrupt node met while repairing, a failed write or
 * truncation) fails the call with the code of the failing step; phase 3 still completes
 * what it can, so that the sound indexes agree with the record file.
 *
 * Every loop is bounded: tree climbs by MAX_DEPTH, scans over equal keys by the record count
 * (each step raises the cursor's rank), loops over a node's entries by its checked count.
 */
#include <string.h>

#include "dbf_internal.h"

namespace {

/* No sound index of 65535 blocks is deeper than 5 levels; anything deeper is corrupt. */
constexpr int MAX_DEPTH = 24;
/* Records are copied in pieces of this size. */
constexpr size_t COPY_PIECE = 512;

int corrupt()
{
    last_error = DBF_ERR_CORRUPT;
    return 0;
}

/* The four cursor fields of an index slot. */
struct cursor_state {
    uint16_t block;
    int16_t pos;
    int32_t rank;
    int32_t record;
};

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

/* Puts the cursor of index n on its entry of rank `rank`. Where the index has no such entry
 * (the rank is -1 after the only record went, or the index does not hold every record), the
 * cursor goes to the nearest entry the index has; in an empty index it stands on no record
 * (rank 0, record -1). A stale cursor, naming a block or position that no longer holds its
 * record, is never left behind. */
void settle_cursor(int rs, int n, int64_t rank)
{
    int is = index_slot(rs, n);
    int saved = last_error;
    if (rank >= 0 && rank <= INT32_MAX && seek_rank(rs, n, (int32_t)rank, DBF_SEEK_SET) == rank) {
        last_error = saved;
        return;
    }
    int64_t entries = index_entries(is);
    if (entries > 0) {
        int64_t near = rank < 0 ? 0 : (rank >= entries ? entries - 1 : rank);
        if (seek_rank(rs, n, (int32_t)near, DBF_SEEK_SET) == near) {
            last_error = saved;
            return;
        }
    }
    slot_state *x = &slot_table[is];
    x->cursor_block = x->root_block;
    x->cursor_pos = 0;
    x->cursor_rank = 0;
    x->cursor_record = -1;
    last_error = saved;
}

/* Puts the cursor of index n on the entry of record recno: find_key (find mode) for the
 * record's key, then forward over the equal keys until the entry of recno. `limit` is the
 * number of entries the index should hold; a search rank at or beyond it means the record is
 * not there. Returns 1 (cursor on the entry), 0 when the index does not hold recno (cursor
 * moved), -1 with last_error 4 on a corrupt index or record. Uses key_buffers[0]. */
int locate_record(int rs, int n, int32_t recno, int32_t limit)
{
    int is = index_slot(rs, n);
    slot_state *x = &slot_table[is];
    if (!record_key(rs, is, recno, key_buffers[0]))
        return -1;
    int32_t t = find_key(rs, n, key_buffers[0], FIND_FIND);
    if (t < 0)
        return -1;
    if (t >= limit)
        return 0;
    /* find_key leaves the cursor on the entry of rank t when that entry lies in the leaf it
     * ended in; otherwise the entry is in an ancestor and is reached by rank. */
    if (x->cursor_record < 0) {
        int32_t got = seek_rank(rs, n, t, DBF_SEEK_SET);
        if (got != t)
            return got == -1 && last_error == DBF_ERR_CORRUPT ? -1 : 0;
    }
    while (x->cursor_record != recno) {
        if (seek_rank(rs, n, 1, DBF_SEEK_CUR) < 0)
            return last_error == DBF_ERR_CORRUPT ? -1 : 0;
    }
    return 1;
}

/* Reads the child of `parent` at position k into node and checks that it points back. */
int read_child(int is, const index_node *parent, int k, index_node *node)
{
    if (!node_read(is, parent->children[k].block, node))
        return 0;
    if (node->parent != parent->self)
        return corrupt();
    return 1;
}

/* Sets parent and pos_in_parent of the children first..last of `parent` (held in a buffer
 * other than `scratch`). Children whose fields already agree are not rewritten. */
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

/* release_block: frees block b of index slot is without leaving a hole. When b is the last
 * block the file is shortened by one block; otherwise the last block moves into b: its
 * parent's child entry, its children's parent and, for the root, root_block follow it.
 * 1, or 0 with last_error 4 (corrupt links) or 6 (write or truncation failed). Uses
 * NODE_SIBLING for the moved node and NODE_PARENT_BUF for its relatives. */
int release_block(int is, uint32_t b)
{
    uint32_t blocks = index_block_count(is);
    if (b == 0 || b >= blocks || blocks <= 2)
        return corrupt();
    uint32_t last = blocks - 1;
    if (b != last) {
        index_node *moved = &node_buffers[NODE_SIBLING];
        index_node *other = &node_buffers[NODE_PARENT_BUF];
        if (!node_read(is, last, moved))
            return 0;
        if (moved->count > NODE_MAX)
            return corrupt();
        if (moved->parent != 0) {
            if (!node_read(is, moved->parent, other))
                return 0;
            int k = moved->pos_in_parent;
            if (k > other->count || other->children[k].block != last)
                return corrupt();
            other->children[k].block = (uint16_t)b;
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
    }
    return index_shorten(is, last);
}

/* Collapse of an internal root without entries: its only child becomes the root and the old
 * root's block is released. The old root is in NODE_WORK. */
int collapse_root(int is)
{
    index_node *root = &node_buffers[NODE_WORK];
    index_node *child = &node_buffers[NODE_PARENT_BUF];
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

/* rebalance_after_delete: repairs the tree upwards from the node in NODE_WORK, which has
 * just lost an entry, until every node outside the root holds 24 to 48 entries: borrow from
 * the left or right sibling, or merge with it and continue with the parent, which lost an
 * entry in the merge. An internal root left without entries is collapsed; a root leaf
 * without entries is the empty index and stays. 1, or 0 with last_error 4 or 6. */
int rebalance_after_delete(int is)
{
    index_node *w = &node_buffers[NODE_WORK];
    index_node *p = &node_buffers[NODE_PARENT_BUF];
    index_node *s = &node_buffers[NODE_SIBLING];
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (w->parent == 0) {
            if (w->count > 0 || node_is_leaf(w))
                return 1;
            return collapse_root(is);
        }
        if (w->count >= NODE_MIN)
            return 1;
        /* A node outside the root had at least 24 entries before it lost one. */
        if (w->count != NODE_MIN - 1)
            return corrupt();
        if (!node_read(is, w->parent, p))
            return 0;
        int h = w->pos_in_parent;
        if (p->count == 0 || p->count > NODE_MAX || h > p->count || p->children[h].block != w->self)
            return corrupt();
        bool left = h == p->count;
        int sh = left ? h - 1 : h + 1;
        if (!read_child(is, p, sh, s))
            return 0;
        if (s->pos_in_parent != sh || s->count < NODE_MIN || s->count > NODE_MAX ||
            node_is_leaf(s) != node_is_leaf(w))
            return corrupt();
        bool internal = !node_is_leaf(w);
        int sc = s->count;

        if (sc > NODE_MIN && left) {
            /* Borrow from the left: the separator comes down to W's front, S's last entry
             * goes up, S's last child moves to W's front. */
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
            if (!node_write(is, w->self, w) || !node_write(is, p->self, p) ||
                !node_write(is, s->self, s))
                return 0;
            return internal ? adopt_children(is, w, 0, NODE_MIN, s) : 1;
        }
        if (sc > NODE_MIN) {
            /* Borrow from the right: the separator comes down to W's end, S's first entry
             * goes up, S's first child moves to W's end. */
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
            if (!node_write(is, w->self, w) || !node_write(is, p->self, p) ||
                !node_write(is, s->self, s))
                return 0;
            if (!internal)
                return 1;
            /* S's children all moved one place down; W gained one child at its end. */
            return adopt_children(is, w, NODE_MIN, NODE_MIN, p) &&
                   adopt_children(is, s, 0, s->count, p);
        }

        /* Merge: W and S (24 entries) and the separator make one node of 48. */
        uint32_t freed;
        int keep_pos;   /* P's children after this position change place */
        if (left) {
            /* Merge into the left sibling. */
            s->records[NODE_MIN] = p->records[h - 1];
            memcpy(&s->records[NODE_MIN + 1], &w->records[0], (NODE_MIN - 1) * sizeof w->records[0]);
            memcpy(&s->children[NODE_MIN + 1], &w->children[0], NODE_MIN * sizeof w->children[0]);
            s->count = NODE_MAX;
            p->children[h - 1].subtree_count += p->children[h].subtree_count + 1;
            keep_pos = h - 1;
            freed = w->self;
        } else {
            /* Merge the right sibling in. */
            w->records[NODE_MIN - 1] = p->records[h];
            memcpy(&w->records[NODE_MIN], &s->records[0], NODE_MIN * sizeof s->records[0]);
            memcpy(&w->children[NODE_MIN], &s->children[0], (NODE_MIN + 1) * sizeof s->children[0]);
            w->count = NODE_MAX;
            p->children[h].subtree_count += p->children[h + 1].subtree_count + 1;
            keep_pos = h;
            freed = s->self;
        }
        /* Entry keep_pos and child keep_pos + 1 leave P. */
        int pc = p->count;
        memmove(&p->records[keep_pos], &p->records[keep_pos + 1],
                (size_t)(pc - 1 - keep_pos) * sizeof p->records[0]);
        memmove(&p->children[keep_pos + 1], &p->children[keep_pos + 2],
                (size_t)(pc - 1 - keep_pos) * sizeof p->children[0]);
        p->count = (uint16_t)(pc - 1);
        index_node *merged = left ? s : w;
        if (!node_write(is, p->self, p) || !node_write(is, merged->self, merged))
            return 0;
        /* The merged node is kept in NODE_WORK from here on. */
        if (left)
            memcpy(w, s, sizeof *s);
        if (!adopt_children(is, p, keep_pos + 1, p->count, s))
            return 0;
        if (internal && !adopt_children(is, w, left ? NODE_MIN + 1 : NODE_MIN, NODE_MAX, s))
            return 0;

        uint16_t pblk = p->self;
        if (!release_block(is, freed))
            return 0;
        /* P stays in its block unless it was the last one, which moved into the freed one. */
        uint32_t next = pblk < index_block_count(is) ? pblk : freed;
        if (!node_read(is, next, w))
            return 0;
    }
    return corrupt();
}

/* remove_entry: removes the entry under the cursor of index n of record file slot rs. An
 * entry of an internal node is replaced by its predecessor, the last entry of a leaf, which
 * is dropped from that leaf instead. Then the subtree counts on the way to the root lose 1
 * and the tree is rebalanced. The cursor must stand on an entry; it is not repositioned.
 * 1, or 0 with last_error 4 (the cursor is on no entry, the step to the predecessor failed,
 * corrupt links; nothing is changed when the failure comes before the first write) or 6
 * (a write or truncation failed). */
int remove_entry(int rs, int n)
{
    int is = index_slot(rs, n);
    slot_state *x = &slot_table[is];
    index_node *w = &node_buffers[NODE_WORK];
    index_node *p = &node_buffers[NODE_PARENT_BUF];
    if (!node_read(is, x->cursor_block, w))
        return 0;
    int pos = x->cursor_pos;
    if (pos < 0 || pos >= w->count || w->records[pos] != (uint32_t)x->cursor_record)
        return corrupt();
    if (!node_is_leaf(w)) {
        uint16_t inner = w->self;
        int inner_pos = pos;
        if (seek_rank(rs, n, -1, DBF_SEEK_CUR) < 0)
            return corrupt();
        if (!node_read(is, x->cursor_block, w))
            return 0;
        pos = x->cursor_pos;
        if (!node_is_leaf(w) || w->count == 0 || pos != w->count - 1)
            return corrupt();
        if (!node_read(is, inner, p) || inner_pos >= p->count)
            return corrupt();
        p->records[inner_pos] = w->records[pos];
        if (!node_write(is, inner, p))
            return 0;
    }
    int count = w->count;
    memmove(&w->records[pos], &w->records[pos + 1], (size_t)(count - 1 - pos) * sizeof w->records[0]);
    w->count = (uint16_t)(count - 1);
    if (!node_write(is, w->self, w))
        return 0;

    uint16_t child = w->self;
    int k = w->pos_in_parent;
    uint16_t up = w->parent;
    for (int depth = 0; up != 0; depth++) {
        if (depth >= MAX_DEPTH || !node_read(is, up, p))
            return corrupt();
        if (k > p->count || p->children[k].block != child || p->children[k].subtree_count == 0)
            return corrupt();
        p->children[k].subtree_count -= 1;
        if (!node_write(is, up, p))
            return 0;
        child = p->self;
        k = p->pos_in_parent;
        up = p->parent;
    }
    if (slot_table[rs].record_count > 1)
        return rebalance_after_delete(is);
    return 1;
}

/* Copies record `from` over record `to` of record file slot rs, a piece at a time. */
int copy_record(int rs, int32_t from, int32_t to)
{
    uint8_t piece[COPY_PIECE];
    size_t length = slot_table[rs].record_length;
    uint64_t src = DBF_RECORDS_START + (uint64_t)from * length;
    uint64_t dst = DBF_RECORDS_START + (uint64_t)to * length;
    for (size_t done = 0; done < length;) {
        size_t len = length - done < COPY_PIECE ? length - done : COPY_PIECE;
        if (!file_read_at(rs, src + done, piece, len) || !file_write_at(rs, dst + done, piece, len))
            return 0;
        done += len;
    }
    return 1;
}

/* What phase 1 learnt of one index. */
struct index_plan {
    int open;
    int holds;            /* the index holds the deleted record; the cursor is on its entry */
    cursor_state before;  /* the cursor as the caller left it */
};

} // namespace

/* Removes the record under the cursor of index n from the record file and from every open
 * index; the last record takes its number. Returns 1 with last_error 0. Returns 0 with
 *  - the code of check_index_args (7, 8, 4, 13, 14);
 *  - last_error 0 when the cursor of index n is on no record: the file is empty, the cursor
 *    was never set, or index n holds no entry there (an empty index, or one created on a
 *    non-empty file and not rebuilt); nothing is changed;
 *  - last_error 4 when an index turns out to be corrupt, or 6 when a write or the shortening
 *    of a file failed. A corrupt index met while looking up the record's entries changes
 *    nothing; a failure while removing entries leaves the record file as it was (the indexes
 *    handled before hold the record no more); a failure while moving the last record still
 *    moves it everywhere it can and shortens the record file.
 */
ZKW_API int delete_member(int handle, int index_no)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return 0;
    last_error = DBF_OK;
    slot_state *s = &slot_table[rs];
    const int32_t count = s->record_count;
    int isn = index_slot(rs, index_no);
    const int32_t d = slot_table[isn].cursor_record;
    if (count == 0 || d < 0 || d >= count ||
        !cursor_on_entry(isn, &node_buffers[NODE_SIBLING]))
        return 0;

    /* Phase 1: the deleted record's entry in every other open index, reads only. */
    index_plan plan[DBF_MAX_INDEX + 1];
    for (int i = 1; i <= DBF_MAX_INDEX; i++) {
        plan[i].open = s->index_handle[i] != 0;
        plan[i].holds = i == index_no;
        if (plan[i].open)
            plan[i].before = cursor_save(index_slot(rs, i));
    }
    for (int i = 1; i <= DBF_MAX_INDEX; i++) {
        if (!plan[i].open || i == index_no)
            continue;
        int found = locate_record(rs, i, d, count);
        if (found < 0) {
            for (int k = 1; k <= DBF_MAX_INDEX; k++)
                if (plan[k].open)
                    cursor_restore(index_slot(rs, k), plan[k].before);
            return 0;
        }
        plan[i].holds = found;
        if (!found)
            cursor_restore(index_slot(rs, i), plan[i].before);
    }

    /* Phase 2: out of every index that holds it, index n first. */
    int order[DBF_MAX_INDEX + 1];
    int steps = 0;
    order[steps++] = index_no;
    for (int i = 1; i <= DBF_MAX_INDEX; i++)
        if (plan[i].open && plan[i].holds && i != index_no)
            order[steps++] = i;
    for (int step = 0; step < steps; step++) {
        int i = order[step];
        int is = index_slot(rs, i);
        int32_t u = slot_table[is].cursor_rank;
        int32_t j = plan[i].before.rank;
        if (!remove_entry(rs, i)) {
            int code = last_error;
            settle_cursor(rs, i, j);
            for (int rest = step + 1; rest < steps; rest++)
                cursor_restore(index_slot(rs, order[rest]), plan[order[rest]].before);
            last_error = code;
            return 0;
        }
        /* The cursor stays on its record; where that was the deleted one, on the record that
         * followed it, or on the new last entry. */
        if (i == index_no)
            j = u;
        if ((i != index_no && j > u) || j == count - 1)
            j -= 1;
        settle_cursor(rs, i, j);
    }

    /* Phase 3: the last record m takes number d. */
    const int32_t m = count - 1;
    int failed = DBF_OK;
    if (d != m) {
        for (int t = 1; t <= DBF_MAX_INDEX; t++) {
            if (s->index_handle[t] == 0)
                continue;
            int is = index_slot(rs, t);
            cursor_state keep = cursor_save(is);
            int found = locate_record(rs, t, m, m);
            if (found > 0) {
                index_node *node = &node_buffers[NODE_SIBLING];
                const slot_state *x = &slot_table[is];
                if (!node_read(is, x->cursor_block, node) || x->cursor_pos >= node->count ||
                    node->records[x->cursor_pos] != (uint32_t)m) {
                    corrupt();
                    found = -1;
                } else {
                    node->records[x->cursor_pos] = (uint32_t)d;
                    if (!node_write(is, node->self, node))
                        found = -1;
                }
            }
            if (found < 0 && failed == DBF_OK)
                failed = last_error;
            /* Renumbering moves no entry: the cursor keeps its place, and names d where it
             * named m. */
            if (keep.record == m)
                keep.record = d;
            cursor_restore(is, keep);
        }
        if (!copy_record(rs, m, d)) {
            if (failed == DBF_OK)
                failed = last_error;
        }
    }
    s->record_count = m;
    if (!record_file_shorten(rs, m) && failed == DBF_OK)
        failed = last_error;
    last_error = failed;
    return failed == DBF_OK ? 1 : 0;
}
