// The file-set checker and dumper: reads a record file and the index files its header lists
// with plain stdio, independently of the library's own tree code, and reports every fault of
// the format and of the tree invariants that it finds. The zkwdbf tool runs it for operators
// and the tests run it on every file set they write.
//
// Nothing here trusts a value read from a file: counts, block numbers, parent chains and key
// ranges are checked before they index anything or bound any loop, so any bytes at all give a
// report, never a crash or a hang. State is per call; the checker keeps no globals.
#ifndef DBF_CHECK_H
#define DBF_CHECK_H

#include <stdint.h>
#include <stdio.h>

// The report keeps the first CHECK_MAX_FAULTS messages; the checker stops looking once it has
// found report->max_faults faults (at most CHECK_MAX_FAULTS).
constexpr int CHECK_MAX_FAULTS = 100;
constexpr int CHECK_MESSAGE_LENGTH = 160;
constexpr int CHECK_MAX_INDEXES = 8;

// What the checker learnt of one index, for the summary line.
struct check_index_summary {
    int listed;       // 1 when the header lists this index (key_length not 0)
    int key_offset;
    int key_length;
    int64_t blocks;   // blocks in the file, block 0 included
    int64_t entries;  // record numbers found in the tree
    int depth;        // levels from the root to the leaves, 1 for a root leaf
};

struct check_report {
    int max_faults;   // stop after this many faults (1 to CHECK_MAX_FAULTS)
    int fault_count;  // faults found; messages[0 .. fault_count - 1] describe them
    int stopped;      // 1 when the checker gave up at max_faults
    int record_length;
    int64_t record_count;
    check_index_summary index[CHECK_MAX_INDEXES + 1];  // entry 0 not used
    char messages[CHECK_MAX_FAULTS][CHECK_MESSAGE_LENGTH];
};

// Clears a report; max_faults outside 1 to CHECK_MAX_FAULTS means CHECK_MAX_FAULTS.
void check_report_init(check_report *report, int max_faults);

// Checks base.db0 and every index file base.db1 .. base.db8 that its header lists: the record
// file's magic, size and header fields, each index file's size, and the tree invariants with
// keys read from the record file. Returns the number of faults (0 for a sound file set); the
// report holds a located message for each, such as "index 1 block 7 entry 12: ...".
int check_file_set(const char *base_name, check_report *report);

// Writes the report's messages to out, one a line. Returns the number of faults.
int print_check_report(const check_report *report, FILE *out);

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

// The zkwdbf tool's command line (argv[0] is the program name), writing to out and err:
//   check BASE [--max N]   one line per fault and exit status 1, or an "ok: ..." summary and 0
//   dump BASE [--index N]  header, record count and records (in the order of index N); 0
//   nodes BASE N           every node of index N in block order; 0
// Bad arguments print the usage on err and give 2; files that cannot be dumped give 1.
int zkwdbf_command(int argc, char **argv, FILE *out, FILE *err);

// File access shared by the checker and the dumper: read-only stdio with 64-bit offsets.
// The file of number 0 is the record file base.db0, number n (1 to 8) index file base.dbn.

// 1 when base.dbn fits the name buffer of the helpers below.
int check_name_fits(const char *base_name);
// The file name of number n, in a buffer that the next call overwrites.
const char *check_file_name(const char *base_name, int n);
// Opens file n for reading in binary mode; null when it cannot be opened.
FILE *check_open_file(const char *base_name, int n);
// The size of an open file in bytes, or -1.
int64_t check_file_size(FILE *f);
// Reads exactly size bytes at offset at. Returns 1, or 0 on a seek failure or short read.
int check_read_at(FILE *f, int64_t at, void *buf, size_t size);

#endif
