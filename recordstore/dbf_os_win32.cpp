/* The record store's files on Windows, on the operating system's handle behind the C
 * runtime's FILE* (whose own buffer is never used): positioned I/O with SetFilePointerEx and
 * ReadFile/WriteFile, shared views with CreateFileMapping and MapViewOfFile, and shortening
 * with _chsize_s. A view cannot reach past the file's end (the mapping would lengthen the
 * file), and a file cannot be shortened while a view of it exists; the cache allows for
 * both (os_map_past_end).
 *
 * The offset is set with SetFilePointerEx rather than given in an OVERLAPPED (under Wine an
 * OVERLAPPED makes every call a round trip to the server, ten times dearer), and not set at
 * all where the pointer already stands, as for records appended one after another. */
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "dbf_os.h"

namespace {

/* Largest piece handed to one ReadFile or WriteFile (their counts are 32-bit). */
constexpr size_t IO_PIECE = 1u << 30;

HANDLE handle_of(FILE *file) { return (HANDLE)_get_osfhandle(_fileno(file)); }

/* Moves the file pointer to off unless it stands there already. */
int seek_to(HANDLE h, uint64_t *pointer, uint64_t off)
{
    if (*pointer == off)
        return 1;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)off;
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) {
        *pointer = OS_POINTER_UNKNOWN;
        return 0;
    }
    *pointer = off;
    return 1;
}

} // namespace

int os_file_size(FILE *file, uint64_t *size)
{
    LARGE_INTEGER n;
    if (!GetFileSizeEx(handle_of(file), &n) || n.QuadPart < 0)
        return 0;
    *size = (uint64_t)n.QuadPart;
    return 1;
}

int os_read_at(FILE *file, uint64_t *pointer, uint64_t off, void *buf, size_t len)
{
    HANDLE h = handle_of(file);
    uint8_t *p = (uint8_t *)buf;
    if (!seek_to(h, pointer, off))
        return 0;
    while (len > 0) {
        DWORD got = 0;
        if (!ReadFile(h, p, (DWORD)(len < IO_PIECE ? len : IO_PIECE), &got, nullptr) || got == 0) {
            *pointer = OS_POINTER_UNKNOWN;
            return 0;
        }
        p += got;
        len -= got;
        *pointer += got;
    }
    return 1;
}

int os_write_at(FILE *file, uint64_t *pointer, uint64_t off, const void *buf, size_t len)
{
    HANDLE h = handle_of(file);
    const uint8_t *p = (const uint8_t *)buf;
    if (!seek_to(h, pointer, off))
        return 0;
    while (len > 0) {
        DWORD put = 0;
        if (!WriteFile(h, p, (DWORD)(len < IO_PIECE ? len : IO_PIECE), &put, nullptr) || put == 0) {
            *pointer = OS_POINTER_UNKNOWN;
            return 0;
        }
        p += put;
        len -= put;
        *pointer += put;
    }
    return 1;
}

uint8_t *os_map(FILE *file, uint64_t offset, uint64_t length)
{
    uint64_t end = offset + length;
    if (length == 0 || length > (uint64_t)SIZE_MAX || end < offset)
        return nullptr;
    /* A section as long as the file (0, 0) never lengthens it. */
    HANDLE section = CreateFileMappingA(handle_of(file), nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (!section)
        return nullptr;
    void *view = MapViewOfFile(section, FILE_MAP_WRITE, (DWORD)(offset >> 32), (DWORD)offset,
                               (SIZE_T)length);
    /* The view keeps the section alive. */
    CloseHandle(section);
    return (uint8_t *)view;
}

void os_unmap(uint8_t *image, uint64_t)
{
    if (image)
        UnmapViewOfFile(image);
}

int os_map_past_end() { return 0; }

uint64_t os_map_granularity()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

int os_truncate(FILE *file, uint64_t size)
{
    /* _chsize_s leaves the file pointer where it was; the cache forgets it all the same. */
    if (fflush(file) != 0)
        return 0;
    return _chsize_s(_fileno(file), (long long)size) == 0;
}
