// The convert-and-send job: converts the lookup file, moves the result from its temporary
// names to DBF1.db0..DBF1.db2 in the program folder, sends it after a successful conversion
// and deletes it again.
#ifndef KESTREL_CONVERT_JOB_H
#define KESTREL_CONVERT_JOB_H

// The names announced to the terminal, in the order of the files.
#define SEND_NAME_DB0 "dbf1.db0"
#define SEND_NAME_DB1 "dbf1.db1"
#define SEND_NAME_DB2 "dbf1.db2"

enum { SEND_WAIT_MS = 3000 }; // the pause between the conversion and the send

// Runs the conversion, closes the Progress box, replaces the final files with the temporary
// ones, waits and calls the batch send when the conversion succeeded (and send_mode is 1),
// and deletes the final files. Returns the conversion's result: 1 or 0, whatever the send
// did (the batch send reports its own outcome).
int convert_and_send();

#endif
