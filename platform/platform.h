// The platform calls of the program's portable code: files through the platform's own file
// handles, the program's own path, waiting, locks and ending the process. platform_win32.cpp
// makes the Windows calls; platform_posix.cpp is its twin for the native build and its tests.
#ifndef KESTREL_PLATFORM_H
#define KESTREL_PLATFORM_H

#include <cstdint>

// A platform file handle: a Windows HANDLE value, or a POSIX file descriptor.
typedef std::intptr_t platform_file;
const platform_file PLATFORM_FILE_INVALID = -1;

// Opens an existing regular file for reading, shared with nobody. PLATFORM_FILE_INVALID on
// failure, and at once for anything else (a folder, a FIFO or pipe, a device), which is
// refused before it could make the open or a read wait.
platform_file platform_open_read(const char *path);
// Opens an existing file for reading, shared with other readers: a file that several
// processes read at once (the children of a rack). PLATFORM_FILE_INVALID on failure.
platform_file platform_open_shared(const char *path);
// Creates a file for writing, replacing any existing one, shared with nobody.
platform_file platform_create_write(const char *path);
// The size of an open file in bytes, all 64 bits of it; 0 when it cannot be had.
std::uint64_t platform_file_size(platform_file file);
// Reads up to size bytes. Returns the number read (0 at the end of the file), -1 on failure.
int platform_read(platform_file file, void *buffer, int size);
// Writes size bytes. Returns the number written, -1 on failure.
int platform_write(platform_file file, const void *buffer, int size);
// Moves the file's read and write point back to its start.
void platform_rewind(platform_file file);
void platform_close(platform_file file);

// Copies the full path of the running program into buffer. Returns its length, or 0 when
// it does not fit or cannot be had.
int platform_program_path(char *buffer, int size);

void platform_sleep_ms(unsigned milliseconds);

// Takes the lock file at path, creating it: held exclusively by this process until
// platform_unlock or the process's end (flock on Linux, LockFileEx on Windows). Returns its
// handle, or PLATFORM_FILE_INVALID with *busy 1 when another process holds it, 0 when it
// cannot be made.
platform_file platform_lock(const char *path, int *busy);
// Gives the lock up and removes its file.
void platform_unlock(platform_file lock, const char *path);

// Ends the process at once with the given status: no destructors, no handlers at exit;
// standard output is flushed first. It sits in a source of its own (platform_exit_*.cpp), so
// that tests and fuzz targets can link one that tells them what happened instead, and the
// console program one that first says why the sender's wait ended.
[[noreturn]] void platform_exit(int status);

#endif
