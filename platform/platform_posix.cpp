// The platform calls for the native build: POSIX file descriptors stand in for Windows file
// handles, /proc/self/exe for the program's path. The behaviour follows the Windows twin where
// the callers can tell: only a regular file opens for reading (not a folder, a FIFO or a
// device), and writes go out whole.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

platform_file platform_open_read(const char *path)
{
    // Opened without waiting, so that a FIFO or a device is refused at once instead of
    // blocking the open until a writer or a carrier comes; reads then wait as usual.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return PLATFORM_FILE_INVALID;
    struct stat info;
    int flags = -1;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        (flags = fcntl(fd, F_GETFL)) < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return PLATFORM_FILE_INVALID;
    }
    return fd;
}

platform_file platform_create_write(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? PLATFORM_FILE_INVALID : fd;
}

std::uint64_t platform_file_size(platform_file file)
{
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0 || info.st_size < 0)
        return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

int platform_read(platform_file file, void *buffer, int size)
{
    ssize_t got;
    do
        got = read(static_cast<int>(file), buffer, static_cast<std::size_t>(size));
    while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int>(got);
}

int platform_write(platform_file file, const void *buffer, int size)
{
    const char *bytes = static_cast<const char *>(buffer);
    int written = 0;
    while (written < size) {
        ssize_t put = write(static_cast<int>(file), bytes + written,
                            static_cast<std::size_t>(size - written));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return -1;
        written += static_cast<int>(put);
    }
    return written;
}

void platform_rewind(platform_file file)
{
    lseek(static_cast<int>(file), 0, SEEK_SET);
}

void platform_close(platform_file file)
{
    close(static_cast<int>(file));
}

int platform_program_path(char *buffer, int size)
{
    if (size <= 0)
        return 0;
    ssize_t length = readlink("/proc/self/exe", buffer, static_cast<std::size_t>(size));
    // readlink does not terminate, and a result that fills the buffer may have been cut.
    if (length <= 0 || length >= size)
        return 0;
    buffer[length] = '\0';
    return static_cast<int>(length);
}

// POSIX files have no share modes: any open is shared.
platform_file platform_open_shared(const char *path)
{
    return platform_open_read(path);
}

platform_file platform_lock(const char *path, int *busy)
{
    *busy = 0;
    // Its last holder removes the file: a lock taken on a file that was removed meanwhile
    // guards nothing, so the open and the lock are tried again on the file now there.
    for (int attempt = 0; attempt < 5; attempt++) {
        int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return PLATFORM_FILE_INVALID;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *busy = errno == EWOULDBLOCK;
            close(fd);
            return PLATFORM_FILE_INVALID;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return fd;
        close(fd);
    }
    *busy = 1;
    return PLATFORM_FILE_INVALID;
}

void platform_unlock(platform_file lock, const char *path)
{
    unlink(path);
    close(static_cast<int>(lock));
}
