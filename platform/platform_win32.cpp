// The platform calls for Windows: kernel file handles, the module's own path.
#include "platform.h"

#include <windows.h>

namespace {

HANDLE handle_of(platform_file file)
{
    return reinterpret_cast<HANDLE>(file);
}

} // namespace

platform_file platform_open_read(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return PLATFORM_FILE_INVALID;
    // A pipe, a console or a device such as a COM port would make reads wait for a peer:
    // only a file on a disk is read.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return PLATFORM_FILE_INVALID;
    }
    return reinterpret_cast<platform_file>(file);
}

platform_file platform_open_shared(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? PLATFORM_FILE_INVALID
                                        : reinterpret_cast<platform_file>(file);
}

platform_file platform_create_write(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? PLATFORM_FILE_INVALID
                                        : reinterpret_cast<platform_file>(file);
}

std::uint64_t platform_file_size(platform_file file)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_of(file), &size) || size.QuadPart < 0)
        return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

int platform_read(platform_file file, void *buffer, int size)
{
    DWORD got = 0;
    if (!ReadFile(handle_of(file), buffer, static_cast<DWORD>(size), &got, nullptr))
        return -1;
    return static_cast<int>(got);
}

int platform_write(platform_file file, const void *buffer, int size)
{
    DWORD put = 0;
    if (!WriteFile(handle_of(file), buffer, static_cast<DWORD>(size), &put, nullptr))
        return -1;
    return static_cast<int>(put);
}

void platform_rewind(platform_file file)
{
    SetFilePointer(handle_of(file), 0, nullptr, FILE_BEGIN);
}

void platform_close(platform_file file)
{
    CloseHandle(handle_of(file));
}

int platform_program_path(char *buffer, int size)
{
    if (size <= 0)
        return 0;
    DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // A path that filled the buffer has been cut (and, before Vista, left unterminated).
    if (length == 0 || length >= static_cast<DWORD>(size))
        return 0;
    return static_cast<int>(length);
}

// The file goes when its last handle closes, so a run that ends in any way leaves none.
platform_file platform_lock(const char *path, int *busy)
{
    *busy = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // A file whose last holder is closing it cannot be opened until it is gone.
        *busy = GetLastError() == ERROR_ACCESS_DENIED;
        return PLATFORM_FILE_INVALID;
    }
    OVERLAPPED at = {};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        *busy = 1;
        CloseHandle(file);
        return PLATFORM_FILE_INVALID;
    }
    return reinterpret_cast<platform_file>(file);
}

void platform_unlock(platform_file lock, const char *)
{
    CloseHandle(reinterpret_cast<HANDLE>(lock));
}
