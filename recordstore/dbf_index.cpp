/* Indexes: reading and writing nodes, the key search (find_key), insertion and node splits,
 * the cursor moves of lseek_DBF, and the index exports create_index, remove_index,
 * rebuild_index, has_member, tell_DBF and lseek_DBF.
 *
 * Every value read from an index file is checked before it is used: block numbers must
 * name a block of the file (node_read), counts must fit a node, parent links must agree
 * with the child entries that lead to a node, and every descent or climb is bounded, so a
 * corrupt file makes an operation fail with last_error 4 instead of looping or reading
 * outside a node.
 */
#include <stdio.h>
#include <string.h>

#include "dbf_internal.h"

namespace {

/* No sound tree of 65535 blocks is deeper than 5 levels (nodes other than the root have at
 * least 25 children); anything deeper than this is a corrupt file. */
constexpr int MAX_DEPTH = 24;

int corrupt()
{
    last_error = DBF_ERR_CORRUPT;
    return 0;
}

/* Compares the key of record recno (for index slot is) with key: <0, 0, >0 in *cmp.
 * 1, or 0 with last_error 4 when the record does not exist. */
int compare_record_key(int rs, int is, uint32_t recno, const uint8_t *key, int *cmp)
{
    const slot_state *x = &slot_table[is];
    size_t len = (size_t)x->key_length;
    if (recno >= (uint32_t)slot_table[rs].record_count)
        return corrupt();
    uint64_t off = DBF_RECORDS_START + (uint64_t)recno * slot_table[rs].record_length +
                   (uint64_t)x->key_offset;
    const uint8_t *p = file_peek(rs, off, len);
    if (!p) {
        if (!record_key(rs, is, (int32_t)recno, key_buffers[1]))
            return 0;
        p = key_buffers[1];
    }
    *cmp = memcmp(p, key, len);
    return 1;
}

/* Writes an empty root node (parent 0, position 0, self blk, count 0) at block blk. */
int write_empty_node(int is, uint32_t blk)
{
    index_node *node = &node_buffers[NODE_PARENT_BUF];
    memset(node, 0, sizeof *node);
    node->self = (uint16_t)blk;
    return node_write(is, blk, node);
}

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
        uint16_t child = up.self;
        int pos = up.pos_in_parent;
        if (!node_read(is, up.parent, &up))
            return -1;
        if (pos > up.count || up.children[pos].block != child)
            return corrupt() - 1;
        if (up.count < NODE_MAX)
            return need;
        need++;
    }
    return corrupt() - 1;
}

/* Sets the cursor of index slot is. */
void set_cursor(int is, uint16_t blk, int pos, int64_t rank, uint32_t recno)
{
    slot_state *x = &slot_table[is];
    x->cursor_block = blk;
    x->cursor_pos = (int16_t)pos;
    x->cursor_rank = (int32_t)rank;
    x->cursor_record = (int32_t)recno;
}

/* Finds the entry of rank t by descending from the root. 1 when found (cursor set), 0 when
 * the index holds no entry of that rank, -1 with last_error 4 on a corrupt index. */
int seek_descend(int is, int64_t t)
{
    index_node *node = &node_buffers[NODE_WORK];
    uint32_t blk = slot_table[is].root_block;
    int64_t base = -1;
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (!node_read(is, blk, node))
            return -1;
        int count = node->count;
        if (node_is_leaf(node)) {
            int64_t idx = t - base - 1;
            if (idx >= count)
                return 0;
            set_cursor(is, node->self, (int)idx, t, node->records[idx]);
            return 1;
        }
        bool descended = false;
        for (int k = 0; k <= count; k++) {
            int64_t sc = node->children[k].subtree_count;
            if (base + sc >= t) {
                blk = node->children[k].block;
                descended = true;
                break;
            }
            base += sc + 1;
            if (base == t && k < count) {
                set_cursor(is, node->self, k, t, node->records[k]);
                return 1;
            }
        }
        if (!descended)
            return 0;
    }
    corrupt();
    return -1;
}

/* Climbs from the node in `node` to its parent: reads the parent into `node` and gives the
 * position of the child it came from in *pos. 1; 0 at the root (no parent); -1 with 4 when
 * the parent does not point back. */
int climb(int is, index_node *node, int *pos)
{
    if (node->parent == 0)
        return 0;
    uint16_t child = node->self;
    int j = node->pos_in_parent;
    if (!node_read(is, node->parent, node))
        return -1;
    if (j > node->count || node->children[j].block != child) {
        corrupt();
        return -1;
    }
    *pos = j;
    return 1;
}

/* Walks from the cursor's entry (node already in NODE_WORK) to the entry of rank t. Returns
 * as seek_descend. */
int seek_walk(int is, int64_t t)
{
    index_node *node = &node_buffers[NODE_WORK];
    int64_t cur = slot_table[is].cursor_rank;
    int pos = slot_table[is].cursor_pos;
    if (t > cur) {
        /* Next items after entry pos: child pos+1, entry pos+1, child pos+2, ... */
        int k0 = pos + 1;
        bool skip_child = false;
        for (int steps = 0; steps < 4 * MAX_DEPTH; steps++) {
            int count = node->count;
            bool descended = false;
            for (int k = k0; k <= count; k++) {
                if (!(skip_child && k == k0) && !node_is_leaf(node)) {
                    int64_t sc = node->children[k].subtree_count;
                    if (cur + sc >= t) {
                        if (!node_read(is, node->children[k].block, node))
                            return -1;
                        k0 = 0;
                        skip_child = false;
                        descended = true;
                        break;
                    }
                    cur += sc;
                }
                if (k < count && ++cur == t) {
                    set_cursor(is, node->self, k, t, node->records[k]);
                    return 1;
                }
            }
            if (descended)
                continue;
            int j = 0;
            int up = climb(is, node, &j);
            if (up <= 0)
                return up;
            k0 = j;           /* entry j follows child j */
            skip_child = true;
        }
    } else {
        /* Items before entry pos: child pos, entry pos-1, child pos-1, ..., child 0. */
        int k0 = pos;
        bool skip_child = false;
        for (int steps = 0; steps < 4 * MAX_DEPTH; steps++) {
            bool descended = false;
            for (int k = k0; k >= 0; k--) {
                if (!(skip_child && k == k0) && !node_is_leaf(node)) {
                    int64_t sc = node->children[k].subtree_count;
                    if (cur - sc <= t) {
                        if (!node_read(is, node->children[k].block, node))
                            return -1;
                        k0 = node->count;
                        skip_child = false;
                        descended = true;
                        break;
                    }
                    cur -= sc;
                }
                if (k >= 1 && --cur == t) {
                    set_cursor(is, node->self, k - 1, t, node->records[k - 1]);
                    return 1;
                }
            }
            if (descended)
                continue;
            int j = 0;
            int up = climb(is, node, &j);
            if (up <= 0)
                return up;
            k0 = j;           /* entry j-1 precedes child j */
            skip_child = true;
        }
    }
    corrupt();
    return -1;
}

/* Creates the file of index n for record file slot rs with key (o, l) in the lowest free
 * slot: two empty nodes, the header's key fields, the index slot. The caller has checked
 * the key and that a slot is free. 1, or 0 with last_error 4 (header unreadable) or 6. */
int index_create_file(int rs, int n, int o, int l)
{
    int is = lowest_free_slot();
    if (is < 0) {
        last_error = DBF_ERR_NO_SLOT;
        return 0;
    }
    if (!header_read(rs))
        return 0;
    char path[HDR_PATH_SIZE];
    memcpy(path, header_image + HDR_PATH, HDR_PATH_SIZE);
    size_t len = strnlen(path, HDR_PATH_SIZE);
    if (len == 0 || len == HDR_PATH_SIZE)
        return corrupt();
    path[len - 1] = (char)('0' + n);
    FILE *file = fopen(path, "w+b");
    if (!file) {
        last_error = DBF_ERR_NO_SLOT;
        return 0;
    }
    if (!file_attach(is, file)) {
        fclose(file);
        remove(path);
        last_error = DBF_ERR_NO_SLOT;
        return 0;
    }
    uint8_t blocks[2 * BLOCK_SIZE];
    index_node empty;
    memset(&empty, 0, sizeof empty);
    empty.self = 1;
    encode_node(&empty, blocks);
    encode_node(&empty, blocks + BLOCK_SIZE);
    put_u16le(header_image + HDR_KEY_LENGTH + 2 * n, (uint16_t)l);
    put_u16le(header_image + HDR_KEY_OFFSET + 2 * n, (uint16_t)o);
    if (!file_write_at(is, 0, blocks, sizeof blocks) || !header_write(rs)) {
        file_detach(is);
        remove(path);
        last_error = DBF_ERR_NO_SLOT;
        return 0;
    }
    setup_index_slot(rs, is, n, o, l);
    return 1;
}

/* The key check of create_index and rebuild_index (17), with keys limited to the 256 bytes
 * of the key buffers. */
int key_fits(int rs, int o, int l)
{
    int reclen = slot_table[rs].record_length;
    if (o >= 0 && o < reclen && l > 0 && l <= DBF_MAX_KEY && o + l <= reclen)
        return 1;
    last_error = DBF_ERR_KEY;
    return 0;
}

} // namespace

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

uint32_t index_block_count(int is) { return (uint32_t)(file_size(is) / BLOCK_SIZE); }

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

int node_write(int is, uint32_t blk, const index_node *node)
{
    if (blk == 0 || blk > MAX_BLOCK || blk > index_block_count(is))
        return corrupt();
    uint8_t buf[BLOCK_SIZE];
    encode_node(node, buf);
    return file_write_at(is, (uint64_t)blk * BLOCK_SIZE, buf, BLOCK_SIZE);
}

int index_shorten(int is, uint32_t blocks)
{
    if (blocks < 2) {
        last_error = DBF_ERR_WRITE;
        return 0;
    }
    return file_shorten(is, (uint64_t)blocks * BLOCK_SIZE);
}

int64_t index_entries(int is)
{
    index_node *node = &node_buffers[NODE_WORK];
    if (!node_read(is, slot_table[is].root_block, node))
        return -1;
    int64_t total = node->count;
    if (!node_is_leaf(node))
        for (int k = 0; k <= node->count; k++)
            total += node->children[k].subtree_count;
    return total;
}

int index_has_room(int rs, int n, const uint8_t *key)
{
    int is = index_slot(rs, n);
    uint32_t blocks = index_block_count(is);
    /* No insertion into a tree this file can hold needs more blocks than that. */
    if (blocks + MAX_DEPTH + 1 <= MAX_BLOCK + 1)
        return 1;
    slot_state *x = &slot_table[is];
    uint16_t blk = x->cursor_block;
    int16_t pos = x->cursor_pos;
    int32_t rank = x->cursor_rank, recno = x->cursor_record;
    int need = find_key(rs, n, key, FIND_INSERT) < 0
                   ? -1
                   : split_blocks_needed(is, &node_buffers[NODE_WORK]);
    x->cursor_block = blk;
    x->cursor_pos = pos;
    x->cursor_rank = rank;
    x->cursor_record = recno;
    if (need < 0)
        return 0;
    if (blocks + (uint32_t)need > MAX_BLOCK + 1) {
        last_error = DBF_ERR_WRITE;
        return 0;
    }
    return 1;
}

int32_t find_key(int rs, int n, const uint8_t *key, int mode)
{
    int is = index_slot(rs, n);
    index_node *node = &node_buffers[NODE_WORK];
    uint32_t blk = slot_table[is].root_block;
    int64_t rank = 0;
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (!node_read(is, blk, node))
            return -1;
        int count = node->count;
        int p = 0;
        if (count > 0) {
            int lo = 0, hi = count - 1, cmp = 0;
            while (hi - lo > 1) {
                int mid = (lo + hi) / 2;
                if (!compare_record_key(rs, is, node->records[mid], key, &cmp))
                    return -1;
                if (cmp > 0 || (cmp == 0 && mode == FIND_FIND))
                    hi = mid;
                else
                    lo = mid;
            }
            p = lo;
            while (p <= hi) {
                if (!compare_record_key(rs, is, node->records[p], key, &cmp))
                    return -1;
                if (cmp > 0 || (cmp == 0 && mode == FIND_FIND))
                    break;
                p++;
            }
        }
        for (int k = 0; k < p; k++)
            rank += (int64_t)node->children[k].subtree_count + 1;
        if (rank > INT32_MAX)
            return corrupt() - 1;
        if (node->children[p].block != 0) {
            blk = node->children[p].block;
            continue;
        }
        set_cursor(is, node->self, p, rank, p < count ? node->records[p] : 0);
        if (p >= count)
            slot_table[is].cursor_record = -1;
        return (int32_t)rank;
    }
    return corrupt() - 1;
}

int32_t insert_entry(int rs, int n, int32_t recno, const uint8_t *key)
{
    int is = index_slot(rs, n);
    if (!index_has_room(rs, n, key))
        return -1;
    int32_t rank = find_key(rs, n, key, FIND_INSERT);
    if (rank < 0)
        return -1;
    index_node *leaf = &node_buffers[NODE_WORK];
    int p = slot_table[is].cursor_pos;
    int count = leaf->count;
    if (!node_is_leaf(leaf) || count >= NODE_SLOTS)
        return corrupt() - 1;
    memmove(&leaf->records[p + 1], &leaf->records[p], (size_t)(count - p) * sizeof leaf->records[0]);
    leaf->records[p] = (uint32_t)recno;
    leaf->children[p] = child_entry{0, 0};
    leaf->children[count + 1] = child_entry{0, 0};
    leaf->count = (uint16_t)(count + 1);
    slot_table[is].cursor_record = recno;
    if (!node_write(is, leaf->self, leaf))
        return -1;

    index_node *parent = &node_buffers[NODE_PARENT_BUF];
    uint16_t child = leaf->self;
    int pos = leaf->pos_in_parent;
    uint16_t up = leaf->parent;
    for (int depth = 0; up != 0; depth++) {
        if (depth >= MAX_DEPTH || !node_read(is, up, parent))
            return corrupt() - 1;
        if (pos > parent->count || parent->children[pos].block != child)
            return corrupt() - 1;
        parent->children[pos].subtree_count += 1;
        if (!node_write(is, up, parent))
            return -1;
        child = parent->self;
        pos = parent->pos_in_parent;
        up = parent->parent;
    }

    if (leaf->count > NODE_MAX) {
        if (!split_node(is))
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
    index_node *node = &node_buffers[NODE_WORK];
    index_node *parent = &node_buffers[NODE_PARENT_BUF];
    for (int depth = 0; depth < MAX_DEPTH; depth++) {
        if (node->count != NODE_SLOTS)
            return corrupt();
        uint32_t blocks = index_block_count(is);
        if (node->parent == 0) {
            uint32_t root = blocks;
            if (root > MAX_BLOCK) {
                last_error = DBF_ERR_WRITE;
                return 0;
            }
            if (!write_empty_node(is, root))
                return 0;
            blocks++;
            node->parent = (uint16_t)root;
            slot_table[is].root_block = (uint16_t)root;
        }
        uint32_t median = node->records[NODE_MIN];
        uint16_t left = node->self;
        uint32_t left_total = NODE_MIN, right_total = NODE_MIN;
        for (int k = 0; k <= NODE_MIN; k++) {
            left_total += node->children[k].subtree_count;
            right_total += node->children[NODE_MIN + 1 + k].subtree_count;
        }
        node->count = NODE_MIN;
        if (!node_write(is, left, node))
            return 0;

        uint32_t right = blocks;
        if (right > MAX_BLOCK) {
            last_error = DBF_ERR_WRITE;
            return 0;
        }
        int q = node->pos_in_parent;
        node->self = (uint16_t)right;
        node->pos_in_parent = (uint16_t)(q + 1);
        memmove(&node->records[0], &node->records[NODE_MIN + 1], NODE_MIN * sizeof node->records[0]);
        memmove(&node->children[0], &node->children[NODE_MIN + 1],
                (NODE_MIN + 1) * sizeof node->children[0]);
        node->count = NODE_MIN;
        if (!node_write(is, right, node))
            return 0;
        if (!node_is_leaf(node)) {
            for (int k = 0; k <= NODE_MIN; k++) {
                if (!node_read(is, node->children[k].block, parent))
                    return 0;
                parent->parent = (uint16_t)right;
                parent->pos_in_parent = (uint16_t)k;
                if (!node_write(is, parent->self, parent))
                    return 0;
            }
        }

        uint16_t up = node->parent;
        if (!node_read(is, up, parent))
            return 0;
        int count = parent->count;
        if (count > NODE_MAX || q > count || (count > 0 && parent->children[q].block != left))
            return corrupt();
        memmove(&parent->records[q + 1], &parent->records[q], (size_t)(count - q) * sizeof parent->records[0]);
        memmove(&parent->children[q + 2], &parent->children[q + 1],
                (size_t)(count - q) * sizeof parent->children[0]);
        parent->children[q] = child_entry{left, left_total};
        parent->records[q] = median;
        parent->children[q + 1] = child_entry{(uint16_t)right, right_total};
        parent->count = (uint16_t)(count + 1);
        if (!node_write(is, up, parent))
            return 0;
        for (int k = q + 2; k <= parent->count; k++) {
            if (!node_read(is, parent->children[k].block, node))
                return 0;
            node->pos_in_parent = (uint16_t)(node->pos_in_parent + 1);
            if (!node_write(is, node->self, node))
                return 0;
        }
        if (parent->count <= NODE_MAX)
            return 1;
        *node = *parent;
    }
    return corrupt();
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
    uint16_t blk = x->cursor_block;
    int16_t pos = x->cursor_pos;
    int32_t rank = x->cursor_rank, recno = x->cursor_record;
    int found;
    if (whence == DBF_SEEK_CUR && cursor_on_entry(is, &node_buffers[NODE_WORK]))
        found = t == x->cursor_rank ? 1 : seek_walk(is, t);
    else
        found = seek_descend(is, t);
    if (found != 1) {
        /* The cursor stays where it was. */
        x->cursor_block = blk;
        x->cursor_pos = pos;
        x->cursor_rank = rank;
        x->cursor_record = recno;
        return found == 0 ? -9 : -1;
    }
    return (int32_t)t;
}

/* ---- exports ---- */

/* Creates empty index n on the key (key_offset, key_length). 1, or 0 with last_error 7, 8,
 * 4 (not a record file, or its header cannot be read), 13, 19 (exists), 17 (key outside
 * the record, or longer than 256 bytes), 6 (no free slot, file not created or written). */
ZKW_API int create_index(int handle, int index_no, int key_offset, int key_length)
{
    int rs = slot_of_handle(handle);
    if (rs < 0) {
        last_error = DBF_ERR_HANDLE;
        return 0;
    }
    if (!slot_table[rs].file) {
        last_error = DBF_ERR_FREE_SLOT;
        return 0;
    }
    if (slot_table[rs].kind != KIND_RECORD_FILE) {
        last_error = DBF_ERR_NOT_DBF;
        return 0;
    }
    if (index_no < 1 || index_no > DBF_MAX_INDEX) {
        last_error = DBF_ERR_INDEX_NO;
        return 0;
    }
    if (slot_table[rs].index_handle[index_no] != 0) {
        last_error = DBF_ERR_INDEX_EXISTS;
        return 0;
    }
    if (!key_fits(rs, key_offset, key_length))
        return 0;
    if (!index_create_file(rs, index_no, key_offset, key_length))
        return 0;
    last_error = DBF_OK;
    return 1;
}

/* Deletes index n. 1; 1 with last_error 14 when it does not exist; 0 with 7, 8, 4, 13, or
 * with 4 when the header cannot be read, or 6 when it cannot be written back (the index is
 * closed and deleted then all the same). */
ZKW_API int remove_index(int handle, int index_no)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return last_error == DBF_ERR_NO_INDEX ? 1 : 0;
    if (!header_read(rs))
        return 0;
    char path[HDR_PATH_SIZE];
    memcpy(path, header_image + HDR_PATH, HDR_PATH_SIZE);
    size_t len = strnlen(path, HDR_PATH_SIZE);
    if (len == 0 || len == HDR_PATH_SIZE)
        return corrupt();
    path[len - 1] = (char)('0' + index_no);
    file_detach(index_slot(rs, index_no));
    remove(path);
    put_u16le(header_image + HDR_KEY_LENGTH + 2 * index_no, 0);
    put_u16le(header_image + HDR_KEY_OFFSET + 2 * index_no, 0);
    slot_table[rs].index_handle[index_no] = 0;
    if (!header_write(rs))
        return 0;
    last_error = DBF_OK;
    return 1;
}

/* Builds index n afresh over every record, in the order of index g (0: record numbers).
 * 1, or 0 with the codes of remove_index; 20 when g is not 0 and not an open index other
 * than n, or when index g does not hold every record; 17, 6 as create_index; 4 on a corrupt
 * index g or record. Index n is gone after every failure past its removal. On success the
 * cursor of index n stands on the entry inserted last. */
ZKW_API int rebuild_index(int handle, int index_no, int order_index, int key_offset,
                          int key_length)
{
    if (!remove_index(handle, index_no))
        return 0;
    int rs = slot_of_handle(handle);
    slot_state *s = &slot_table[rs];
    int g = order_index;
    if (g != 0 && (g < 1 || g > DBF_MAX_INDEX || s->index_handle[g] == 0)) {
        last_error = DBF_ERR_ORDER;
        return 0;
    }
    if (g != 0) {
        int64_t entries = index_entries(index_slot(rs, g));
        if (entries < 0)
            return 0;
        if (entries != s->record_count) {
            last_error = DBF_ERR_ORDER;
            return 0;
        }
    }
    if (!key_fits(rs, key_offset, key_length))
        return 0;
    if (!index_create_file(rs, index_no, key_offset, key_length))
        return 0;
    int32_t count = s->record_count;
    if (count != 0) {
        int is = index_slot(rs, index_no);
        int32_t saved = 0;
        if (g != 0) {
            saved = slot_table[index_slot(rs, g)].cursor_rank;
            if (seek_rank(rs, g, 0, DBF_SEEK_SET) != 0)
                goto failed;
        }
        for (int32_t k = 0; k < count; k++) {
            int32_t r = g != 0 ? slot_table[index_slot(rs, g)].cursor_record : k;
            if (!record_key(rs, is, r, key_buffers[0]) ||
                insert_entry(rs, index_no, r, key_buffers[0]) < 0)
                goto failed;
            if (g != 0 && k + 1 < count && seek_rank(rs, g, 1, DBF_SEEK_CUR) != k + 1)
                goto failed;
        }
        if (g != 0)
            seek_rank(rs, g, saved, DBF_SEEK_SET);
    }
    last_error = DBF_OK;
    return 1;

failed: {
    int code = last_error == DBF_OK ? DBF_ERR_CORRUPT : last_error;
    remove_index(handle, index_no);
    last_error = code;
    return 0;
}
}

/* Puts the cursor of index n on the first record whose key is not below key. 1 when that
 * record's key equals key, 0 when not (also when the file or the index is empty), -1 with
 * the code of check_index_args or 4 on a corrupt index. Only entries of the index are ever
 * compared: in an index that does not hold every record, a key above all of its entries
 * answers 0 with the cursor on its last entry. */
ZKW_API int has_member(int handle, int index_no, const void *key)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return -1;
    last_error = DBF_OK;
    int32_t count = slot_table[rs].record_count;
    if (count == 0)
        return 0;
    int is = index_slot(rs, index_no);
    size_t len = (size_t)slot_table[is].key_length;
    memcpy(key_buffers[0], key, len);
    int32_t t = find_key(rs, index_no, key_buffers[0], FIND_FIND);
    if (t < 0)
        return -1;
    if (t == count) {
        seek_rank(rs, index_no, count - 1, DBF_SEEK_SET);
        return 0;
    }
    int32_t got = seek_rank(rs, index_no, t, DBF_SEEK_SET);
    if (got == -1)
        return -1;
    if (got != t) {
        if (t > 0)
            seek_rank(rs, index_no, t - 1, DBF_SEEK_SET);
        last_error = DBF_OK;
        return 0;
    }
    int cmp = 0;
    if (!compare_record_key(rs, is, (uint32_t)slot_table[is].cursor_record, key_buffers[0], &cmp))
        return -1;
    return cmp == 0 ? 1 : 0;
}

/* Rank of the cursor of index n, or -1 with the code of check_index_args. */
ZKW_API int tell_DBF(int handle, int index_no)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return -1;
    last_error = DBF_OK;
    return slot_table[index_slot(rs, index_no)].cursor_rank;
}

/* Moves the cursor of index n; results as seek_rank, after check_index_args (-1). */
ZKW_API int lseek_DBF(int handle, int index_no, int offset, int whence)
{
    int rs = slot_of_handle(handle);
    if (!check_index_args(rs, index_no))
        return -1;
    last_error = DBF_OK;
    return seek_rank(rs, index_no, offset, whence);
}
