// The read-only reader of a file set that the checker and the dumper share: the files by
// number, reads at 64-bit offsets, the record file's header, nodes, the walk from block 1 to
// the root, and a bitmap of the blocks (or records) met. It reads with plain stdio and uses
// nothing of the library but the format header, so that the checker and the dumper judge
// what the library wrote independently of the library's own code.
//
// Nothing here trusts a value read from a file: the walk to the root is bounded by the
// file's block count and every read is checked. State is per call; there are no globals but
// the buffer of fileset_file_name.
#ifndef DBF_FILESET_H
#define DBF_FILESET_H

#include "dbf_format.h"

#include <stdint.h>
#include <stdio.h>

// The format's sizes as signed values, for arithmetic on 64-bit file offsets.
constexpr int64_t FILESET_BLOCK_BYTES = (int64_t)BLOCK_SIZE;
constexpr int64_t FILESET_HEADER_BYTES = (int64_t)HDR_SIZE;
constexpr int64_t FILESET_RECORDS_AT = (int64_t)DBF_RECORDS_START;
constexpr int64_t FILESET_MAX_BLOCKS = (int64_t)MAX_BLOCK + 1;  // block 0 included

// File number 0 is the record file base.db0, number n (1 to 8) the index file base.dbn.

// 1 when base.dbn fits the name buffer of the helpers below.
int fileset_name_fits(const char *base_name);
// The file name of number n, in a buffer that the next call overwrites.
const char *fileset_file_name(const char *base_name, int n);
// Opens file n for reading in binary mode; null when it cannot be opened.
FILE *fileset_open(const char *base_name, int n);
// The size of an open file in bytes, or -1.
int64_t fileset_size(FILE *f);
// Reads exactly size bytes at offset at. Returns 1, or 0 on a seek failure or short read.
int fileset_read_at(FILE *f, int64_t at, void *buf, size_t size);

// Reads the record file's header (HDR_SIZE bytes) into header and its size into *size.
// FILESET_HEADER_OK, FILESET_HEADER_SHORT when the file is too short for the header or it
// cannot be read, FILESET_HEADER_NO_MAGIC when the magic text is not there.
enum { FILESET_HEADER_OK = 0, FILESET_HEADER_SHORT = 1, FILESET_HEADER_NO_MAGIC = 2 };
int fileset_read_header(FILE *db0, uint8_t *header, int64_t *size);

// The blocks of an index file of size bytes as far as block numbers reach (an unknown size,
// -1, gives 0).
int64_t fileset_blocks(int64_t size);
// Reads and decodes the node in block blk of an index file. 1, or 0 when it cannot be read.
int fileset_read_node(FILE *idx, int64_t blk, index_node *node);

// The walk to the root: from block 1, follow parent until a node whose parent is 0, taking
// at most one step per block of the file.
enum {
    ROOT_FOUND = 0,
    ROOT_UNREADABLE = 1,      // block `block` cannot be read
    ROOT_PARENT_BEYOND = 2,   // block `block` has parent `parent`, beyond the file
    ROOT_NO_END = 3           // the chain does not end within the file's blocks (a cycle)
};
struct root_walk {
    int outcome;
    int64_t root;             // the root's block when ROOT_FOUND, else 0
    int64_t block;            // where the walk stopped
    unsigned parent;          // that block's parent, for ROOT_PARENT_BEYOND
};
root_walk fileset_find_root(FILE *idx, int64_t blocks);

// A bitmap of bits bits, all clear: calloc'd, freed with free(). Null when memory ran out.
uint8_t *bitmap_new(int64_t bits);
inline int bitmap_get(const uint8_t *map, int64_t i) { return (map[i >> 3] >> (i & 7)) & 1; }
inline void bitmap_set(uint8_t *map, int64_t i)
{
    map[i >> 3] = (uint8_t)(map[i >> 3] | (1u << (i & 7)));
}

#endif
