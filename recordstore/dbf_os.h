/* The platform seam of the record store: positioned reads and writes on an open FILE*, the
 * file's length, shortening it, and a shared writable mapping of it. dbf_os_posix.cpp and
 * dbf_os_win32.cpp implement it; CMake picks one. */
#ifndef DBF_OS_H
#define DBF_OS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* Length of the file in bytes into *size. 1, or 0 when it cannot be determined. */
int os_file_size(FILE *file, uint64_t *size);
/* Where the file's own read/write pointer stands, for a platform that positions I/O with it
 * (Windows) and may then skip the move when it already stands at the offset: the caller keeps
 * one per open file, starting at OS_POINTER_UNKNOWN, and passes it to every call. */
constexpr uint64_t OS_POINTER_UNKNOWN = UINT64_MAX;
/* Reads exactly len bytes at off. 1 when all were read, else 0. */
int os_read_at(FILE *file, uint64_t *pointer, uint64_t off, void *buf, size_t len);
/* Writes exactly len bytes at off and hands them to the operating system before returning.
 * 1 when all were written, else 0. */
int os_write_at(FILE *file, uint64_t *pointer, uint64_t off, const void *buf, size_t len);
/* Maps `length` bytes of the file from `offset` on, shared and writable: a store into the
 * mapping inside the file's length is a change of the file, and a write to the file shows in
 * every mapping of it. offset is a multiple of os_map_granularity(); offset + length is at
 * most the file's length, and may exceed it only where os_map_past_end() is 1. NULL when the
 * platform or the moment does not allow it; the caller then caches in memory of its own. */
uint8_t *os_map(FILE *file, uint64_t offset, uint64_t length);
void os_unmap(uint8_t *image, uint64_t length);
/* The step at which a mapping may start: the page size (POSIX), the allocation granularity
 * of 64 KB (Windows). */
uint64_t os_map_granularity();
/* 1 where a mapping may reach past the file's end (the file then grows and shrinks under
 * it, POSIX); 0 where a mapping must end at the file's end and the file cannot be shortened
 * while it is mapped (Windows). */
int os_map_past_end();
/* Sets the file's length. 1, or 0 when that failed. */
int os_truncate(FILE *file, uint64_t size);

#endif
