/* The record store's files on Windows, through the C runtime's FILE* and its descriptor:
 * positioned I/O (seek, read or write, and a flush after every write so that the bytes are
 * with the operating system before the call returns) and shortening with _chsize_s. No
 * mapping is offered: the cache keeps a heap copy instead. */
#include <io.h>
#include <stdio.h>

#include "dbf_os.h"

int os_file_size(FILE *file, uint64_t *size)
{
    if (fflush(file) != 0)
        return 0;
    long long n = _filelengthi64(_fileno(file));
    if (n < 0)
        return 0;
    *size = (uint64_t)n;
    return 1;
}

int os_read_at(FILE *file, uint64_t off, void *buf, size_t len)
{
    if (_fseeki64(file, (long long)off, SEEK_SET) != 0)
        return 0;
    return fread(buf, 1, len, file) == len;
}

int os_write_at(FILE *file, uint64_t off, const void *buf, size_t len)
{
    if (_fseeki64(file, (long long)off, SEEK_SET) != 0)
        return 0;
    if (fwrite(buf, 1, len, file) != len)
        return 0;
    return fflush(file) == 0;
}

uint8_t *os_map(FILE *, uint64_t) { return nullptr; }

void os_unmap(uint8_t *, uint64_t) {}

int os_truncate(FILE *file, uint64_t size)
{
    if (fflush(file) != 0)
        return 0;
    return _chsize_s(_fileno(file), (long long)size) == 0;
}
