// The convert-and-send job in its steps. The send reads the final files by their full paths
// and announces them to the terminal as "dbf1.db0".."dbf1.db2", so neither the current
// directory nor the case sensitivity of the file system decides whether they are found.
// State: the working set's path buffers, filled by working_set.
#include "convert_job.h"

#include "lookup_convert.h"
#include "platform.h"
#include "progress.h"
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

const char *const final_paths[SET_FILES_MAX] = {db0_path, db1_path, db2_path};
set_fault last_set_fault;

namespace {

const char *const EXTENSIONS[SET_FILES_MAX] = {".db0", ".db1", ".db2"};
const char *const SEND_NAMES[SET_FILES_MAX] = {SEND_NAME_DB0, SEND_NAME_DB1, SEND_NAME_DB2};

char working_paths[SET_FILES_MAX][PATH_BUFFER_SIZE + 8];
const char *const working_list[SET_FILES_MAX] = {working_paths[0], working_paths[1],
                                                 working_paths[2]};

// Keeps the first fault of a step (a step clears last_set_fault when it begins).
void keep_fault(const char *action, const char *path, const char *target)
{
    if (!last_set_fault.action)
        last_set_fault = set_fault{action, path, target, errno};
}

// Deletes path: 1 when it is gone or was never there, else 0 with the fault kept.
int remove_file(const char *path)
{
    if (std::remove(path) == 0 || errno == ENOENT)
        return 1;
    keep_fault("remove", path, nullptr);
    return 0;
}

int rename_file(const char *from, const char *to)
{
    if (std::rename(from, to) == 0)
        return 1;
    keep_fault("rename", from, to);
    return 0;
}

} // namespace

int set_file_count()
{
    return second_key_configured() ? 3 : 2;
}

int set_file_path(char *path, std::size_t size, const char *base, int file)
{
    const int length = std::snprintf(path, size, "%s%s", base, EXTENSIONS[file]);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

const char *const *working_set()
{
    for (int i = 0; i < SET_FILES_MAX; i++)
        set_file_path(working_paths[i], sizeof working_paths[i], temp_base, i);
    return working_list;
}

const char *send_name(int file)
{
    return SEND_NAMES[file];
}

int convert_into_working_set()
{
    const int result = convert_lookup();
    show_progress(PROGRESS_CLOSE, 0);
    return result;
}

int hand_over_set(const char *const *finals, int count)
{
    int failed = remove_set(finals, SET_FILES_MAX);
    const char *const *working = working_set();
    for (int i = 0; i < count; i++) {
        if (!rename_file(working[i], finals[i]) && failed < 0)
            failed = i;
    }
    return failed;
}

void wait_before_send()
{
    platform_sleep_ms(SEND_WAIT_MS);
}

int send_set(const char *const *paths, int count, send_outcome *outcome)
{
    char name_list[SET_FILES_MAX][256];
    for (int i = 0; i < SET_FILES_MAX; i++)
        std::strcpy(name_list[i], i < count ? SEND_NAMES[i] : "");
    wait_before_send();
    return zmodem_send_files(count, paths, name_list,
                             static_cast<unsigned char>(settings.com_index),
                             static_cast<unsigned char>(settings.baud_index), outcome);
}

int remove_set(const char *const *paths, int count)
{
    last_set_fault = set_fault{nullptr, nullptr, nullptr, 0};
    int failed = -1;
    for (int i = 0; i < count; i++) {
        if (!remove_file(paths[i]) && failed < 0)
            failed = i;
    }
    return failed;
}

int convert_and_send()
{
    const int result = convert_into_working_set();
    const int files = set_file_count();
    hand_over_set(final_paths, files);
    if (result == 1 && settings.send_mode == SEND_MODE_AFTER_SUCCESS)
        send_set(final_paths, files, nullptr);
    remove_set(final_paths, files);
    return result;
}
