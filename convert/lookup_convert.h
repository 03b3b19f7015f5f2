// The lookup conversion: every line of the open lookup file becomes one record of
// line_length bytes in the record file temp_base.db0, entered into index 1 (key 1) and, when a
// second key is configured, index 2 (key 2). Lines end at CR only; LF bytes are dropped.
#ifndef KESTREL_LOOKUP_CONVERT_H
#define KESTREL_LOOKUP_CONVERT_H

enum {
    PROGRESS_EVERY = 50 // records between two updates of the Progress box
};

// The record file being written, open from its creation to the end of the conversion.
extern int record_handle;

// Converts the lookup file open in lookup_handle (at its start) into the file set temp_base,
// removing a file set left there by an earlier run first. Updates the Progress box with the
// record count every 50 records. Returns 1 when every line became a record and the file set
// was closed; 0 on any failure (record file not created, an index not created, a read that
// fails or ends early, a record not appended), with the record file closed and, after a
// failed append or read, the lookup file rewound to its start.
int convert_lookup();

// Appends record (record_length bytes) to the record file record_handle. Returns 1 when the
// record count grew by exactly one, else 0.
int add_lookup_record(const char *record);

#endif
