// The zkwdbf tool's command line, apart from main() so that the tests run it as the tool does.
#ifndef ZKWDBF_CLI_H
#define ZKWDBF_CLI_H

#include <stdio.h>

// The zkwdbf tool's command line (argv[0] is the program name), writing to out and err:
//   check BASE [--max N]   one line per fault and exit status 1, or an "ok: ..." summary and 0
//   dump BASE [--index N]  header, record count and records (in the order of index N); 0
//   nodes BASE N           every node of index N in block order; 0
// Bad arguments print the usage on err and give 2; files that cannot be dumped give 1.
int zkwdbf_command(int argc, char **argv, FILE *out, FILE *err);

#endif
