// The lookup conversion: every line of the open lookup file becomes one record of
// line_length bytes in the record file temp_base.db0, entered into index 1 (key 1) and, when a
// second key is configured, index 2 (key 2). Lines end at CR only; LF bytes are dropped.
#ifndef KESTREL_LOOKUP_CONVERT_H
#define KESTREL_LOOKUP_CONVERT_H

#include <cstdint>

enum {
    PROGRESS_EVERY = 50 // records between two updates of the Progress box
};

// The largest lookup file converted, in bytes: as many lines as an index can ever hold (an
// index file has at most 65535 nodes of at most 48 entries), each as long as the 255
// characters a record keeps of a line, with CR LF. A larger file holds more lines than a
// file set can, or lines that would be cut, so it is refused before anything is read or
// written.
constexpr std::uint64_t LOOKUP_SIZE_LIMIT = 65535ull * 48 * (255 + 2);

// Why the last conversion failed, for a caller that explains a failure beyond its result.
enum convert_failure {
    CONVERT_NO_FAILURE = 0,   // the last conversion succeeded (or none ran yet)
    CONVERT_NOT_CREATED = 1,  // the record file could not be created or reopened (line length
                              // 0, a name too long, a file in the way, the disk)
    CONVERT_NO_INDEX = 2,     // an index could not be created: a key outside the line
    CONVERT_TOO_LARGE = 3,    // the lookup file is larger than a file set can hold
    CONVERT_READ_FAILED = 4,  // a read failed, or the file ended before its size was read
    CONVERT_NOT_APPENDED = 5  // a record was not appended: an index full, or the disk
};

// Converts the lookup file open in lookup_handle (at its start) into the file set temp_base,
// removing a file set left there by an earlier run first. Updates the Progress box with the
// record count every 50 records. Returns 1 when every line became a record and the file set
// was closed; 0 on any failure (record file not created, an index not created, a read that
// fails or ends early, a record not appended, a lookup file larger than LOOKUP_SIZE_LIMIT),
// with the record file closed and, after a failed append or read, the lookup file rewound to
// its start. last_convert_failure tells which.
int convert_lookup();

// The reason of the last convert_lookup's 0, CONVERT_NO_FAILURE after a 1.
convert_failure last_convert_failure();
// The records appended by the last convert_lookup, also when it failed: for a failed append,
// how many records the file set took.
int last_convert_records();

#endif
