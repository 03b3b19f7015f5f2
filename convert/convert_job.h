// The convert-and-send job, in its steps. Two file sets take part: the working set, temp_base
// with .db0 to .db2, which the conversion writes, and a final set of three paths, which the
// send reads (kestrel.exe's are db0_path..db2_path, DBF1.db0..DBF1.db2 in its folder). Each
// program runs the steps its way; convert_and_send runs them as kestrel.exe does.
#ifndef KESTREL_CONVERT_JOB_H
#define KESTREL_CONVERT_JOB_H

#include "zmodem.h"

#include <cstddef>

// The names announced to the terminal, in the order of the files.
#define SEND_NAME_DB0 "dbf1.db0"
#define SEND_NAME_DB1 "dbf1.db1"
#define SEND_NAME_DB2 "dbf1.db2"

enum {
    SEND_WAIT_MS = 3000, // the pause between the conversion and the send
    SET_FILES_MAX = 3
};

// kestrel.exe's final set: db0_path, db1_path, db2_path.
extern const char *const final_paths[SET_FILES_MAX];

// The files of a set under the settings: 3 when a second key is configured, else 2.
int set_file_count();
// Puts base and ".db0" (file 0), ".db1" or ".db2" into path. 1, or 0 when it does not fit.
int set_file_path(char *path, std::size_t size, const char *base, int file);
// The working set's three paths, temp_base with .db0 to .db2 as it stands now.
const char *const *working_set();
// The name the send announces for file 0, 1 or 2.
const char *send_name(int file);

// What the last step that failed on a file could not do, for a caller that reports it:
// action "remove" (path) or "rename" (path to target), and the system's reason (errno).
struct set_fault {
    const char *action;
    const char *path;
    const char *target;
    int error;
};
extern set_fault last_set_fault;

// 1. Converts the lookup file into the working set (convert_lookup) and closes the Progress
// box, whatever the result. Returns the conversion's result, 1 or 0.
int convert_into_working_set();
// 2. Hands the working set over to finals: deletes all three finals (a rename onto an existing
// file fails on Windows), then renames the first count working files to them. Every step is
// tried. Returns -1 when each succeeded (a final that was not there needs no deleting), else
// the number (0 to 2) of the file whose step failed first, with last_set_fault set.
int hand_over_set(const char *const *finals, int count);
// 3. Waits SEND_WAIT_MS, then sends the count files at paths, announced as dbf1.db0.., to the
// settings' com_index and baud_index (their low bytes). Returns the send's result, count or
// -1, with outcome (when not null) filled.
int send_set(const char *const *paths, int count, send_outcome *outcome);
// The wait of step 3 alone, for a caller that sends otherwise.
void wait_before_send();
// 4. Deletes the count files at paths. Returns -1 when each is gone (or was not there), else
// the number of the first that is still there, with last_set_fault set.
int remove_set(const char *const *paths, int count);

// kestrel.exe's job, the steps in its order: converts, hands the set over to the final paths
// (also after a failed conversion), sends it when the conversion succeeded and send_mode is
// SEND_MODE_AFTER_SUCCESS, and deletes it. Returns the conversion's result: 1 or 0, whatever
// the send did (the batch send reports its own outcome in its box).
int convert_and_send();

#endif
