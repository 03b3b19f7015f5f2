// The shared read-only reader of a file set: stdio with 64-bit offsets, the header, nodes,
// the walk to the root and the bitmaps of the checker and the dumper.
#include "dbf_fileset.h"

#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

// Room for a base name of any length the library accepts, with a margin for paths that the
// tool is given by hand.
static char file_name_buffer[1024];

int fileset_name_fits(const char *base_name)
{
    return strlen(base_name) + 5 <= sizeof file_name_buffer;
}

const char *fileset_file_name(const char *base_name, int n)
{
    if (!fileset_name_fits(base_name))
        return "";
    snprintf(file_name_buffer, sizeof file_name_buffer, "%s.db%d", base_name, n);
    return file_name_buffer;
}

FILE *fileset_open(const char *base_name, int n)
{
    if (!fileset_name_fits(base_name) || n < 0 || n > 9)
        return nullptr;
    return fopen(fileset_file_name(base_name, n), "rb");
}

// Offsets beyond 2 GB: a record file may be that large on every target. The build gives
// this file 64-bit file offsets (_FILE_OFFSET_BITS=64), which make fseeko and ftello 64-bit
// on Windows as well.
static_assert(sizeof(off_t) == 8, "64-bit file offsets");

int64_t fileset_size(FILE *f)
{
    if (fseeko(f, 0, SEEK_END) != 0)
        return -1;
    return (int64_t)ftello(f);
}

int fileset_read_at(FILE *f, int64_t at, void *buf, size_t size)
{
    if (at < 0 || fseeko(f, (off_t)at, SEEK_SET) != 0)
        return 0;
    return fread(buf, 1, size, f) == size;
}

int fileset_read_header(FILE *db0, uint8_t *header, int64_t *size)
{
    *size = fileset_size(db0);
    if (*size < FILESET_HEADER_BYTES || !fileset_read_at(db0, 0, header, HDR_SIZE))
        return FILESET_HEADER_SHORT;
    if (memcmp(header + HDR_MAGIC, DBF_MAGIC, sizeof DBF_MAGIC) != 0)
        return FILESET_HEADER_NO_MAGIC;
    return FILESET_HEADER_OK;
}

int64_t fileset_blocks(int64_t size)
{
    int64_t blocks = size < 0 ? 0 : size / FILESET_BLOCK_BYTES;
    return blocks > FILESET_MAX_BLOCKS ? FILESET_MAX_BLOCKS : blocks;
}

int fileset_read_node(FILE *idx, int64_t blk, index_node *node)
{
    uint8_t raw[FILESET_BLOCK_BYTES];
    if (!fileset_read_at(idx, blk * FILESET_BLOCK_BYTES, raw, sizeof raw))
        return 0;
    decode_node(raw, node);
    return 1;
}

root_walk fileset_find_root(FILE *idx, int64_t blocks)
{
    root_walk walk = {ROOT_NO_END, 0, 1, 0};
    for (int64_t steps = 0; steps < blocks; steps++) {
        index_node node;
        if (!fileset_read_node(idx, walk.block, &node)) {
            walk.outcome = ROOT_UNREADABLE;
            return walk;
        }
        if (node.parent == 0) {
            walk.outcome = ROOT_FOUND;
            walk.root = walk.block;
            return walk;
        }
        if (node.parent >= blocks) {
            walk.outcome = ROOT_PARENT_BEYOND;
            walk.parent = node.parent;
            return walk;
        }
        walk.block = node.parent;
    }
    return walk;
}

uint8_t *bitmap_new(int64_t bits)
{
    return (uint8_t *)calloc((size_t)(bits + 7) / 8 + 1, 1);
}
