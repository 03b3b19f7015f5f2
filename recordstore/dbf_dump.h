// The file-set dumper: prints a record file, its records and the nodes of its indexes for
// people (zkwdbf dump, zkwdbf nodes) and for tests that fail. It reads the files through the
// shared reader (dbf_fileset.h), not through the library, and survives any bytes.
#ifndef DBF_DUMP_H
#define DBF_DUMP_H

#include <stdio.h>

// Prints the header fields, the file sizes and the record count of a file set. Returns 0, or
// -1 when the record file cannot be read as one.
int dump_header(const char *base_name, FILE *out);

// Prints every record, in record-number order when index_no is 0, otherwise in the order of
// index index_no (an in-order walk of its tree that visits each block at most once). Records
// are printed as text with \xNN escapes. Returns 0, or -1 when the files cannot be read.
int dump_records(const char *base_name, int index_no, FILE *out);

// Prints every node of index index_no in block order: leaf or internal, parent, position,
// count, the record numbers and, for internal nodes, the children with their subtree counts.
// Returns 0, or -1 when the files cannot be read.
int dump_nodes(const char *base_name, int index_no, FILE *out);

#endif
