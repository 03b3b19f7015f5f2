// The command line of zkwdbf, which checks and prints a record store file set so that an
// operator can verify the files before they go to a terminal. Kept apart from main() so that
// the tests run it as the tool does.
//
//   zkwdbf check BASE [--max N]   one line per fault; exit 1 when there is any, 0 and a
//                                 summary line when the set is sound
//   zkwdbf dump BASE [--index N]  header, record count and the records, in record order or
//                                 in the order of index N
//   zkwdbf nodes BASE N           every node of index N in block order
//
// Bad arguments print the usage and exit 2; a file set that cannot be dumped exits 1.
#include "zkwdbf_cli.h"

#include "dbf_check.h"
#include "dbf_dump.h"
#include "dbf_fileset.h"

#include <stdlib.h>
#include <string.h>

namespace {

int usage(FILE *err)
{
    fprintf(err,
            "usage: zkwdbf check BASE [--max N]\n"
            "       zkwdbf dump BASE [--index N]\n"
            "       zkwdbf nodes BASE N\n"
            "BASE names the file set BASE.db0, BASE.db1 .. BASE.db8.\n");
    return 2;
}

// Parses a whole decimal number within lo..hi into *value. Returns 1, or 0.
int parse_number(const char *text, int lo, int hi, int *value)
{
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != 0 || v < lo || v > hi)
        return 0;
    *value = (int)v;
    return 1;
}

// The report is large; one per process.
check_report report;

int run_check(const char *base, int max_faults, FILE *out)
{
    check_report_init(&report, max_faults);
    if (check_file_set(base, &report) != 0) {
        print_check_report(&report, out);
        return 1;
    }
    fprintf(out, "ok: %s.db0, record length %d, %lld records", base, report.record_length,
           (long long)report.record_count);
    for (int n = 1; n <= CHECK_MAX_INDEXES; n++) {
        const check_index_summary &s = report.index[n];
        if (s.listed)
            fprintf(out, "; index %d (key offset %d, length %d): %lld entries, %lld blocks, "
                   "depth %d",
                   n, s.key_offset, s.key_length, (long long)s.entries, (long long)s.blocks,
                   s.depth);
    }
    fprintf(out, "\n");
    return 0;
}

}  // namespace

int zkwdbf_command(int argc, char **argv, FILE *out, FILE *err)
{
    if (argc < 3)
        return usage(err);
    const char *command = argv[1];
    const char *base = argv[2];
    if (!fileset_name_fits(base)) {
        fprintf(err, "zkwdbf: base name too long\n");
        return 2;
    }
    if (strcmp(command, "check") == 0) {
        int max_faults = CHECK_MAX_FAULTS;
        if (argc == 5 && strcmp(argv[3], "--max") == 0) {
            if (!parse_number(argv[4], 1, CHECK_MAX_FAULTS, &max_faults))
                return usage(err);
        } else if (argc != 3) {
            return usage(err);
        }
        return run_check(base, max_faults, out);
    }
    if (strcmp(command, "dump") == 0) {
        int index_no = 0;
        if (argc == 5 && strcmp(argv[3], "--index") == 0) {
            if (!parse_number(argv[4], 1, CHECK_MAX_INDEXES, &index_no))
                return usage(err);
        } else if (argc != 3) {
            return usage(err);
        }
        if (dump_header(base, out) != 0)
            return 1;
        return dump_records(base, index_no, out) == 0 ? 0 : 1;
    }
    if (strcmp(command, "nodes") == 0) {
        int index_no = 0;
        if (argc != 4 || !parse_number(argv[3], 1, CHECK_MAX_INDEXES, &index_no))
            return usage(err);
        return dump_nodes(base, index_no, out) == 0 ? 0 : 1;
    }
    return usage(err);
}
