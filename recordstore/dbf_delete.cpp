/* Deletion of a record: its entry leaves every open index (remove_entry, dbf_remove.cpp),
 * and the last record moves into its place, renumbered in every index. Keeps no state of its
 * own; works on the slot table, the node buffers and key_buffers[0].
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
#include "dbf_tree.h"

namespace {

/* What phase 1 learnt of one index. */
struct index_plan {
    int open;
    int holds;            /* the index holds the deleted record; the cursor is on its entry */
    cursor_state before;  /* the cursor as the caller left it */
};

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
    cursor_restore(is, cursor_state{x->root_block, 0, 0, -1});
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
            return got == -1 && last_error == DBF_ERR_NOT_DBF ? -1 : 0;
    }
    while (x->cursor_record != recno) {
        if (seek_rank(rs, n, 1, DBF_SEEK_CUR) < 0)
            return last_error == DBF_ERR_NOT_DBF ? -1 : 0;
    }
    return 1;
}

/* Phase 1: puts the cursor of every other open index on the entry of record d, reads only.
 * 0 with last_error 4 on a corrupt index, every cursor put back. */
int locate_everywhere(int rs, int n, int32_t d, index_plan *plan)
{
    const slot_state *s = &slot_table[rs];
    for (int i = 1; i <= DBF_MAX_INDEX; i++) {
        plan[i].open = s->index_handle[i] != 0;
        plan[i].holds = i == n;
        if (plan[i].open)
            plan[i].before = cursor_save(index_slot(rs, i));
    }
    for (int i = 1; i <= DBF_MAX_INDEX; i++) {
        if (!plan[i].open || i == n)
            continue;
        int found = locate_record(rs, i, d, s->record_count);
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
    return 1;
}

/* Phase 2: removes the entry under the cursor from every index that holds the record, index
 * n first, and settles each cursor: on its record, or, where that was the deleted one, on
 * the record that followed it or the new last entry. 0 with the failing step's last_error;
 * the cursors of the indexes not reached yet are put back. */
int remove_everywhere(int rs, int n, const index_plan *plan)
{
    const int32_t count = slot_table[rs].record_count;
    int order[DBF_MAX_INDEX + 1];
    int steps = 0;
    order[steps++] = n;
    for (int i = 1; i <= DBF_MAX_INDEX; i++)
        if (plan[i].open && plan[i].holds && i != n)
            order[steps++] = i;
    for (int step = 0; step < steps; step++) {
        int i = order[step];
        int32_t u = slot_table[index_slot(rs, i)].cursor_rank;
        int32_t j = plan[i].before.rank;
        if (!remove_entry(rs, i)) {
            int code = last_error;
            settle_cursor(rs, i, j);
            for (int rest = step + 1; rest < steps; rest++)
                cursor_restore(index_slot(rs, order[rest]), plan[order[rest]].before);
            last_error = code;
            return 0;
        }
        if (i == n)
            j = u;
        if ((i != n && j > u) || j == count - 1)
            j -= 1;
        settle_cursor(rs, i, j);
    }
    return 1;
}

/* Renumbers the entry of record m in index t to d; the cursor keeps its place (and names d
 * where it named m). 1, also when the index does not hold m; 0 with last_error 4 or 6. */
int renumber_entry(int rs, int t, int32_t m, int32_t d)
{
    int is = index_slot(rs, t);
    cursor_state keep = cursor_save(is);
    int found = locate_record(rs, t, m, m);
    if (found > 0) {
        index_node *node = node_buffer(node_slot::sibling);
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
    if (keep.record == m)
        keep.record = d;
    cursor_restore(is, keep);
    return found >= 0;
}

/* Phase 3: the last record m takes number d in every index and in the record file, which is
 * shortened by one record. Carries on past a failure; the result and last_error are those
 * of delete_member. */
int move_last_record(int rs, int32_t d)
{
    slot_state *s = &slot_table[rs];
    const int32_t m = s->record_count - 1;
    int failed = DBF_OK;
    if (d != m) {
        for (int t = 1; t <= DBF_MAX_INDEX; t++)
            if (s->index_handle[t] != 0 && !renumber_entry(rs, t, m, d) && failed == DBF_OK)
                failed = last_error;
        if (!record_copy(rs, m, d) && failed == DBF_OK)
            failed = last_error;
    }
    s->record_count = m;
    if (!record_file_shorten(rs, m) && failed == DBF_OK)
        failed = last_error;
    last_error = failed;
    return failed == DBF_OK ? 1 : 0;
}

} // namespace

int delete_record(int rs, int n)
{
    const int32_t count = slot_table[rs].record_count;
    int isn = index_slot(rs, n);
    const int32_t d = slot_table[isn].cursor_record;
    if (count == 0 || d < 0 || d >= count ||
        !cursor_on_entry(isn, node_buffer(node_slot::sibling)))
        return 0;
    index_plan plan[DBF_MAX_INDEX + 1];
    if (!locate_everywhere(rs, n, d, plan) || !remove_everywhere(rs, n, plan))
        return 0;
    return move_last_record(rs, d);
}
