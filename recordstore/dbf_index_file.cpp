/* The index files of a record file: creating one (two empty nodes and the key in the
 * header), opening those the header lists (with the root found and the cursor on rank 0),
 * and removing one. An index file is named after the record file's: the same path with the
 * last character replaced by the index number.
 */
#include <stdio.h>
#include <string.h>

#include "dbf_tree.h"

namespace {

/* Whether an index file's length can be that of an index: whole blocks, at least the two
 * of an empty index, and no block number above 65535. */
int index_size_ok(int is)
{
    uint64_t size = file_size(is);
    return size % BLOCK_SIZE == 0 && size >= 2 * BLOCK_SIZE &&
           size / BLOCK_SIZE <= (uint64_t)MAX_BLOCK + 1;
}

/* Follows parent from block 1 to the root of index slot is; sets root_block. 1, or 0 with 4. */
int find_root(int is)
{
    uint32_t blocks = index_block_count(is);
    index_node *node = node_buffer(node_slot::work);
    uint32_t blk = 1;
    for (uint32_t steps = 0; steps <= blocks; steps++) {
        if (!node_read(is, blk, node))
            return 0;
        if (node->parent == 0) {
            slot_table[is].root_block = node->self;
            slot_table[is].cursor_block = node->self;
            return 1;
        }
        blk = node->parent;
    }
    return corrupt();
}

/* Opens index file n (at `path`) of record file slot rs with the key (o, l) into the lowest
 * free slot. 1, or 0 with last_error 6 or 2 as open_indexes. */
int open_index(int rs, int n, const char *path, int o, int l)
{
    int is = lowest_free_slot();
    if (is < 0) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    if (!file_open_into(is, path, "r+b", DBF_ERR_OPEN))
        return 0;
    setup_index_slot(rs, is, n, o, l);
    if (!index_size_ok(is) || !find_root(is)) {
        last_error = DBF_ERR_OPEN;
        return 0;
    }
    seek_rank(rs, n, 0, DBF_SEEK_SET);
    return 1;
}

} // namespace

int index_create_file(int rs, int n, int o, int l)
{
    int is = lowest_free_slot();
    if (is < 0) {
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    char path[HDR_PATH_SIZE];
    if (!header_read(rs) || !index_path_from_header(n, path))
        return 0;
    if (!file_open_into(is, path, "w+b", DBF_ERR_NO_RESOURCE))
        return 0;
    uint8_t blocks[2 * BLOCK_SIZE];
    index_node empty;
    memset(&empty, 0, sizeof empty);
    empty.self = 1;
    encode_node(&empty, blocks);
    encode_node(&empty, blocks + BLOCK_SIZE);
    header_set_key(n, o, l);
    if (!file_write_at(is, 0, blocks, sizeof blocks) || !header_write(rs)) {
        file_detach(is);
        remove(path);
        last_error = DBF_ERR_NO_RESOURCE;
        return 0;
    }
    setup_index_slot(rs, is, n, o, l);
    return 1;
}

int open_indexes(int rs, char *path)
{
    /* The header image is shared: keep the key fields of this file while indexes open. */
    int key_length[DBF_MAX_INDEX + 1], key_offset[DBF_MAX_INDEX + 1];
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        key_length[n] = header_key_length(n);
        key_offset[n] = header_key_offset(n);
    }
    for (int n = 1; n <= DBF_MAX_INDEX; n++) {
        if (key_length[n] == 0)
            continue;
        set_path_digit(path, n);
        if (!open_index(rs, n, path, key_offset[n], key_length[n]))
            return 0;
    }
    return 1;
}

int index_remove_file(int rs, int n)
{
    char path[HDR_PATH_SIZE];
    if (!header_read(rs) || !index_path_from_header(n, path))
        return 0;
    file_detach(index_slot(rs, n));
    remove(path);
    header_set_key(n, 0, 0);
    slot_table[rs].index_handle[n] = 0;
    return header_write(rs);
}
