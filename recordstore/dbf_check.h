// The file-set checker: reads a record file and the index files its header lists through the
// shared reader (dbf_fileset.h), independently of the library's own tree code, and reports
// every fault of the format and of the tree invariants that it finds. The zkwdbf tool runs it
// for operators and the tests run it on every file set they write.
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

#endif
