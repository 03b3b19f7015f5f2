// What every fuzz target shares: a scratch folder of the process's own, whole-file writes into
// it, and a way to stop on a broken rule so that libFuzzer keeps the input that broke it.
#ifndef KESTREL_FUZZ_SUPPORT_H
#define KESTREL_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>

enum { FUZZ_PATH_SIZE = 1024 };

// The scratch folder with its trailing '/': made on first use under $TMPDIR (else /dev/shm, else /tmp) and
// removed with everything in it when the process exits normally.
const char *fuzz_folder();

// The scratch folder followed by name, in path (FUZZ_PATH_SIZE bytes).
void fuzz_path(char *path, const char *name);

// Replaces the file at path with size bytes of data. 1, or 0 when it could not be written.
int fuzz_write_file(const char *path, const std::uint8_t *data, std::size_t size);

// The number of file descriptors the process holds: a target compares it before and after a
// round to see that everything opened was closed again.
int fuzz_open_files();

// Reports a broken rule with its text on stderr and aborts: libFuzzer keeps the input.
[[noreturn]] void fuzz_fail(const char *rule);

#endif
