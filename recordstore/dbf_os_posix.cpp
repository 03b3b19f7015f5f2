/* The record store's files on POSIX: positioned I/O with pread/pwrite on the FILE*'s
 * descriptor (the stdio buffer of these files is never used; the file pointer is not
 * needed), shared mappings with mmap(MAP_SHARED), and shortening with ftruncate. */
#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dbf_os.h"

int os_file_size(FILE *file, uint64_t *size)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || st.st_size < 0)
        return 0;
    *size = (uint64_t)st.st_size;
    return 1;
}

int os_read_at(FILE *file, uint64_t *, uint64_t off, void *buf, size_t len)
{
    int fd = fileno(file);
    uint8_t *p = (uint8_t *)buf;
    while (len > 0) {
        ssize_t n = pread(fd, p, len, (off_t)off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        off += (uint64_t)n;
        len -= (size_t)n;
    }
    return 1;
}

int os_write_at(FILE *file, uint64_t *, uint64_t off, const void *buf, size_t len)
{
    int fd = fileno(file);
    const uint8_t *p = (const uint8_t *)buf;
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, (off_t)off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        off += (uint64_t)n;
        len -= (size_t)n;
    }
    return 1;
}

uint8_t *os_map(FILE *file, uint64_t offset, uint64_t length)
{
    if (length == 0 || length > (uint64_t)SIZE_MAX || offset > (uint64_t)INT64_MAX)
        return nullptr;
    void *p = mmap(nullptr, (size_t)length, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(file),
                   (off_t)offset);
    return p == MAP_FAILED ? nullptr : (uint8_t *)p;
}

void os_unmap(uint8_t *image, uint64_t length)
{
    if (image)
        munmap(image, (size_t)length);
}

int os_map_past_end() { return 1; }

uint64_t os_map_granularity()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? (uint64_t)page : 4096;
}

int os_truncate(FILE *file, uint64_t size)
{
    if (fflush(file) != 0)
        return 0;
    return ftruncate(fileno(file), (off_t)size) == 0;
}
