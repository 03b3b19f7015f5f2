// The file-set checker: one pass over the record file and each listed index that keeps going
// after a fault and stops only at the report's limit. It reads the files through the shared
// reader (dbf_fileset.h), not through the library, so that it can judge what the library
// wrote. Per file set it allocates two bitmaps (the blocks reached, the record numbers held);
// everything else lives on the stack.
#include "dbf_check.h"
#include "dbf_fileset.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int MAX_RECORD_LENGTH = (int)DBF_MAX_RECORD_LENGTH;

struct check_state {
    check_report *report;
    const char *base_name;
    FILE *db0;
    int record_length;
    int64_t record_count;

    // The index being checked.
    int index_no;
    FILE *idx;
    int64_t blocks;
    uint8_t *reached;   // one bit per block
    uint8_t *held;      // one bit per record number
    int key_offset;
    int key_length;
    int keys_usable;    // the key range fits the record and the key buffer
    uint8_t prev_key[DBF_MAX_KEY];
    int have_prev;
    int64_t prev_record;
    int leaf_depth;     // depth of the first leaf met, -1 before
    int max_depth_seen;
    int64_t entries;
};

__attribute__((format(printf, 2, 3)))
void fault(check_state *st, const char *fmt, ...)
{
    check_report *r = st->report;
    if (r->stopped)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(r->messages[r->fault_count], CHECK_MESSAGE_LENGTH, fmt, ap);
    va_end(ap);
    r->fault_count++;
    if (r->fault_count >= r->max_faults)
        r->stopped = 1;
}

int stopped(const check_state *st) { return st->report->stopped; }

// One entry of the in-order walk: range, uniqueness and key order of its record number.
void visit_entry(check_state *st, int64_t blk, int pos, uint32_t recno)
{
    st->entries++;
    if ((int64_t)recno >= st->record_count) {
        fault(st, "index %d block %lld entry %d: record %lu beyond the record count %lld",
              st->index_no, (long long)blk, pos, (unsigned long)recno,
              (long long)st->record_count);
        return;
    }
    if (bitmap_get(st->held, recno)) {
        fault(st, "index %d block %lld entry %d: record %lu held twice", st->index_no,
              (long long)blk, pos, (unsigned long)recno);
        return;
    }
    bitmap_set(st->held, recno);
    if (!st->keys_usable)
        return;
    uint8_t key[DBF_MAX_KEY];
    int64_t at = FILESET_RECORDS_AT + (int64_t)recno * st->record_length + st->key_offset;
    if (!fileset_read_at(st->db0, at, key, (size_t)st->key_length)) {
        fault(st, "index %d block %lld entry %d: key of record %lu cannot be read",
              st->index_no, (long long)blk, pos, (unsigned long)recno);
        return;
    }
    if (st->have_prev && memcmp(st->prev_key, key, (size_t)st->key_length) > 0)
        fault(st, "index %d block %lld entry %d: record %lu sorts before record %lld, the "
                  "entry before it",
              st->index_no, (long long)blk, pos, (unsigned long)recno,
              (long long)st->prev_record);
    memcpy(st->prev_key, key, (size_t)st->key_length);
    st->have_prev = 1;
    st->prev_record = recno;
}

// Reads and decodes the node in block blk of the index being checked. 1, or 0 after
// reporting a block that cannot be read.
int read_node_at(check_state *st, int64_t blk, index_node *node)
{
    if (!fileset_read_node(st->idx, blk, node)) {
        fault(st, "index %d block %lld: cannot be read", st->index_no, (long long)blk);
        return 0;
    }
    return 1;
}

// Reports the node's own fields that disagree with where the walk found it: self, parent,
// pos_in_parent, and a count outside what its place allows. Returns the count to walk
// (at most 48).
int check_node_fields(check_state *st, const index_node &node, int64_t blk, int64_t parent,
                      int pos)
{
    const int n_idx = st->index_no;
    const long long b = (long long)blk;
    if (node.self != blk)
        fault(st, "index %d block %lld: self is %u", n_idx, b, node.self);
    if (node.parent != parent)
        fault(st, "index %d block %lld: parent is %u, not %lld", n_idx, b, node.parent,
              (long long)parent);
    if (node.pos_in_parent != pos)
        fault(st, "index %d block %lld: pos_in_parent is %u, not %d", n_idx, b,
              node.pos_in_parent, pos);
    const int is_root = parent == 0;
    int count = node.count;
    if (count > NODE_MAX) {
        fault(st, "index %d block %lld: count %d above %d", n_idx, b, count, NODE_MAX);
        count = NODE_MAX;
    } else if (!is_root && count < NODE_MIN) {
        fault(st, "index %d block %lld: count %d below %d", n_idx, b, count, NODE_MIN);
    } else if (is_root && !node_is_leaf(&node) && count == 0) {
        fault(st, "index %d block %lld: internal root with no entries", n_idx, b);
    }
    return count;
}

// A leaf: empty child entries, the same depth as the first leaf, and its entries in order.
// Returns the number of entries.
int64_t walk_leaf(check_state *st, const index_node &node, int64_t blk, int count, int depth)
{
    const int n_idx = st->index_no;
    const long long b = (long long)blk;
    for (int i = 0; i <= count; i++) {
        const child_entry &c = node.children[i];
        if (c.block != 0 || c.subtree_count != 0)
            fault(st, "index %d block %lld child %d: leaf child is block %u count %lu", n_idx, b,
                  i, c.block, (unsigned long)c.subtree_count);
    }
    if (st->leaf_depth < 0)
        st->leaf_depth = depth;
    else if (st->leaf_depth != depth)
        fault(st, "index %d block %lld: leaf at depth %d, the first leaf is at depth %d", n_idx,
              b, depth, st->leaf_depth);
    for (int i = 0; i < count && !stopped(st); i++)
        visit_entry(st, blk, i, node.records[i]);
    return count;
}

int64_t walk_node(check_state *st, int64_t blk, int64_t parent, int pos, int depth);

// Child i of an internal node: a block of the file reached for the first time, within the
// depth bound, whose subtree holds as many record numbers as its subtree_count says.
// Returns the number found in the subtree.
int64_t walk_child(check_state *st, const index_node &node, int64_t blk, int i, int depth)
{
    const int n_idx = st->index_no;
    const long long b = (long long)blk;
    const child_entry &c = node.children[i];
    if (c.block == 0) {
        fault(st, "index %d block %lld child %d: no block in an internal node", n_idx, b, i);
    } else if (c.block >= st->blocks) {
        fault(st, "index %d block %lld child %d: block %u beyond the file's %lld blocks", n_idx,
              b, i, c.block, (long long)st->blocks);
    } else if (bitmap_get(st->reached, c.block)) {
        fault(st, "index %d block %lld child %d: block %u reached twice", n_idx, b, i, c.block);
    } else if (depth + 1 > MAX_DEPTH) {
        fault(st, "index %d block %lld child %d: tree deeper than %d levels", n_idx, b, i,
              MAX_DEPTH);
    } else {
        bitmap_set(st->reached, c.block);
        int64_t got = walk_node(st, c.block, blk, i, depth + 1);
        if (got != (int64_t)c.subtree_count)
            fault(st, "index %d block %lld child %d: subtree_count %lu, block %u's subtree "
                      "holds %lld",
                  n_idx, b, i, (unsigned long)c.subtree_count, c.block, (long long)got);
        return got;
    }
    return 0;
}

// Checks the node in block blk, which its parent (block parent, 0 for the root) reaches
// through child position pos, and everything below it. blk is within the file and marked
// reached by the caller. Returns the number of record numbers found in the subtree.
int64_t walk_node(check_state *st, int64_t blk, int64_t parent, int pos, int depth)
{
    index_node node;
    if (!read_node_at(st, blk, &node))
        return 0;
    if (depth > st->max_depth_seen)
        st->max_depth_seen = depth;
    int count = check_node_fields(st, node, blk, parent, pos);
    if (node_is_leaf(&node))
        return walk_leaf(st, node, blk, count, depth);
    int64_t total = 0;
    for (int i = 0; i <= count && !stopped(st); i++) {
        total += walk_child(st, node, blk, i, depth);
        if (i < count && !stopped(st)) {
            visit_entry(st, blk, i, node.records[i]);
            total++;
        }
    }
    return total;
}

// Follows parent from block 1 until a node whose parent is 0. Returns the root's block, or 0
// after reporting a chain that leaves the file or does not end.
int64_t find_root(check_state *st)
{
    root_walk walk = fileset_find_root(st->idx, st->blocks);
    const int n = st->index_no;
    const long long b = (long long)walk.block;
    switch (walk.outcome) {
    case ROOT_FOUND:
        return walk.root;
    case ROOT_UNREADABLE:
        fault(st, "index %d block %lld: cannot be read", n, b);
        break;
    case ROOT_PARENT_BEYOND:
        fault(st, "index %d block %lld: parent %u beyond the file's %lld blocks", n, b,
              walk.parent, (long long)st->blocks);
        break;
    default:
        fault(st, "index %d: the parent chain from block 1 does not end (a cycle)", n);
        break;
    }
    return 0;
}

// Takes index n's key range, reporting one that the records or the key buffer cannot hold
// (its keys are then not compared).
void take_key_range(check_state *st, int n, int key_offset, int key_length)
{
    st->index_no = n;
    st->key_offset = key_offset;
    st->key_length = key_length;
    st->keys_usable = 1;
    if (key_length > DBF_MAX_KEY) {
        fault(st, "index %d: key length %d above %d", n, key_length, DBF_MAX_KEY);
        st->keys_usable = 0;
    }
    if (key_offset + key_length > st->record_length) {
        fault(st, "index %d: key offset %d and length %d do not fit a record of %d bytes", n,
              key_offset, key_length, st->record_length);
        st->keys_usable = 0;
    }
}

// Opens index file n into st->idx and sets st->blocks from its size, reporting a size that
// is not whole blocks, below two blocks or beyond what block numbers reach. 0 when the file
// cannot be opened.
int open_index_file(check_state *st, int n)
{
    st->idx = fileset_open(st->base_name, n);
    if (!st->idx) {
        fault(st, "index %d: cannot open %s", n, fileset_file_name(st->base_name, n));
        return 0;
    }
    int64_t size = fileset_size(st->idx);
    if (size < 0) {
        fault(st, "index %d: cannot find the file size", n);
    } else {
        if (size % FILESET_BLOCK_BYTES != 0)
            fault(st, "index %d: file size %lld is not a multiple of 512", n, (long long)size);
        if (size < 2 * FILESET_BLOCK_BYTES)
            fault(st, "index %d: file size %lld below 1024", n, (long long)size);
    }
    st->blocks = fileset_blocks(size);
    if (size / FILESET_BLOCK_BYTES > FILESET_MAX_BLOCKS)
        fault(st, "index %d: %lld blocks, more than block numbers reach", n,
              (long long)(size / FILESET_BLOCK_BYTES));
    return 1;
}

// After the walk: every block reached, and every record number held.
void check_coverage(check_state *st, int n)
{
    for (int64_t blk = 1; blk < st->blocks && !stopped(st); blk++)
        if (!bitmap_get(st->reached, blk))
            fault(st, "index %d: block %lld never reached", n, (long long)blk);
    int64_t missing = 0, first_missing = -1;
    for (int64_t r = 0; r < st->record_count; r++)
        if (!bitmap_get(st->held, r)) {
            if (first_missing < 0)
                first_missing = r;
            missing++;
        }
    if (missing)
        fault(st, "index %d: %lld of %lld records not in the index, the first is record %lld", n,
              (long long)missing, (long long)st->record_count, (long long)first_missing);
}

// Walks the tree of the open index file from its root with fresh bitmaps and fills the
// summary's entries and depth.
void check_tree(check_state *st, int n, check_index_summary &sum)
{
    st->reached = bitmap_new(st->blocks);
    st->held = bitmap_new(st->record_count);
    st->have_prev = 0;
    st->leaf_depth = -1;
    st->max_depth_seen = 0;
    st->entries = 0;
    if (!st->reached || !st->held) {
        fault(st, "index %d: out of memory for the checker's bitmaps", n);
    } else {
        int64_t root = find_root(st);
        if (root != 0) {
            bitmap_set(st->reached, root);
            walk_node(st, root, 0, 0, 1);
            check_coverage(st, n);
        }
        sum.entries = st->entries;
        sum.depth = st->max_depth_seen;
    }
    free(st->reached);
    free(st->held);
    st->reached = st->held = nullptr;
}

void check_index(check_state *st, int n, int key_offset, int key_length)
{
    check_index_summary &sum = st->report->index[n];
    sum.listed = 1;
    sum.key_offset = key_offset;
    sum.key_length = key_length;
    take_key_range(st, n, key_offset, key_length);
    if (!open_index_file(st, n))
        return;
    sum.blocks = st->blocks;
    if (st->blocks >= 2 && !stopped(st))
        check_tree(st, n, sum);
    fclose(st->idx);
    st->idx = nullptr;
}

}  // namespace

void check_report_init(check_report *report, int max_faults)
{
    memset(report, 0, sizeof *report);
    if (max_faults < 1 || max_faults > CHECK_MAX_FAULTS)
        max_faults = CHECK_MAX_FAULTS;
    report->max_faults = max_faults;
}

namespace {

// Reads and checks the record file's header and size: the magic (without it nothing more is
// looked at), the path's zero, the record length and the whole records. Fills
// st->record_length, st->record_count and the report's copies. 0 when the file is not a
// record file at all.
int check_record_file(check_state *st, uint8_t *header)
{
    int64_t size = 0;
    int read = fileset_read_header(st->db0, header, &size);
    if (read == FILESET_HEADER_SHORT) {
        fault(st, "record file: %lld bytes, too short for the header", (long long)size);
        return 0;
    }
    if (read == FILESET_HEADER_NO_MAGIC) {
        fault(st, "record file: no \"%s\" magic", DBF_MAGIC);
        return 0;
    }
    if (!memchr(header + HDR_PATH, 0, HDR_PATH_SIZE))
        fault(st, "record file: path has no terminating zero");
    st->record_length = get_u16le(header + HDR_RECORD_LENGTH);
    st->report->record_length = st->record_length;
    if (st->record_length < 1 || st->record_length > MAX_RECORD_LENGTH)
        fault(st, "record file: record_length %d outside 1 to %d", st->record_length,
              MAX_RECORD_LENGTH);
    if (size < FILESET_RECORDS_AT) {
        fault(st, "record file: %lld bytes, below 1024", (long long)size);
    } else if (st->record_length > 0) {
        int64_t body = size - FILESET_RECORDS_AT;
        st->record_count = body / st->record_length;
        if (body % st->record_length != 0)
            fault(st, "record file: a partial record of %lld bytes after record %lld",
                  (long long)(body % st->record_length), (long long)st->record_count - 1);
        if (st->record_count > INT32_MAX) {
            fault(st, "record file: %lld records, more than a record count holds",
                  (long long)st->record_count);
            st->record_count = INT32_MAX;
        }
    }
    st->report->record_count = st->record_count;
    return 1;
}

}  // namespace

int check_file_set(const char *base_name, check_report *report)
{
    int max_faults = report->max_faults;
    check_report_init(report, max_faults);
    check_state st;
    memset(&st, 0, sizeof st);
    st.report = report;
    st.base_name = base_name;

    if (!fileset_name_fits(base_name)) {
        fault(&st, "base name too long");
        return report->fault_count;
    }
    st.db0 = fileset_open(base_name, 0);
    if (!st.db0) {
        fault(&st, "record file: cannot open %s", fileset_file_name(base_name, 0));
        return report->fault_count;
    }
    uint8_t header[FILESET_HEADER_BYTES];
    // Without a record length there are no records to hold keys; the trees are not looked at.
    if (check_record_file(&st, header) && st.record_length > 0) {
        for (int n = 1; n <= CHECK_MAX_INDEXES && !stopped(&st); n++) {
            int key_length = get_u16le(header + HDR_KEY_LENGTH + 2 * n);
            int key_offset = get_u16le(header + HDR_KEY_OFFSET + 2 * n);
            if (key_length != 0)
                check_index(&st, n, key_offset, key_length);
        }
    }
    fclose(st.db0);
    return report->fault_count;
}

int print_check_report(const check_report *report, FILE *out)
{
    for (int i = 0; i < report->fault_count; i++)
        fprintf(out, "%s\n", report->messages[i]);
    if (report->stopped)
        fprintf(out, "stopped: fault limit %d reached\n", report->fault_count);
    return report->fault_count;
}
