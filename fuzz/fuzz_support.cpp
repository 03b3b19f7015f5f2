// The scratch folder, file writes and the failure report of the fuzz targets (fuzz_support.h).
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

char folder[FUZZ_PATH_SIZE];

// The folder holds plain files only, so one level of unlinking empties it.
void remove_folder()
{
    DIR *dir = opendir(folder);
    if (dir) {
        char path[FUZZ_PATH_SIZE];
        while (dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            std::snprintf(path, sizeof path, "%s%s", folder, entry->d_name);
            unlink(path);
        }
        closedir(dir);
    }
    rmdir(folder);
}

} // namespace

const char *fuzz_folder()
{
    if (folder[0] == '\0') {
        // Files in memory where the machine has such a folder: a round writes several.
        const char *tmp = std::getenv("TMPDIR");
        if (!tmp || !tmp[0])
            tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::snprintf(folder, sizeof folder, "%s/kestrel-fuzz-XXXXXX", tmp);
        if (!mkdtemp(folder))
            fuzz_fail("cannot make a scratch folder");
        std::strcat(folder, "/");
        std::atexit(remove_folder);
    }
    return folder;
}

void fuzz_path(char *path, const char *name)
{
    std::snprintf(path, FUZZ_PATH_SIZE, "%s%s", fuzz_folder(), name);
}

int fuzz_write_file(const char *path, const std::uint8_t *data, std::size_t size)
{
    std::FILE *file = std::fopen(path, "wb");
    if (!file)
        return 0;
    std::size_t put = size ? std::fwrite(data, 1, size, file) : 0;
    const bool closed = std::fclose(file) == 0;
    return closed && put == size;
}

int fuzz_open_files()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

void fuzz_fail(const char *rule)
{
    std::fprintf(stderr, "fuzz: broken rule: %s\n", rule);
    std::abort();
}
