// The convert-and-send job in its steps. The send reads the final files by their full paths
// and announces them to the terminal as "dbf1.db0".."dbf1.db2", so neither the current
// directory nor the case sensitivity of the file system decides whether they are found.
// State: the working set's path buffers, filled by working_set.
#include "convert_job.h"

#include "lookup_convert.h"
#include "platform.h"
#include "progress.h"
#include "settings.h"

#include <cstdio>
#include <cstring>

const char *const final_paths[SET_FILES_MAX] = {db0_path, db1_path, db2_path};

namespace {

const char *const EXTENSIONS[SET_FILES_MAX] = {".db0", ".db1", ".db2"};
const char *const SEND_NAMES[SET_FILES_MAX] = {SEND_NAME_DB0, SEND_NAME_DB1, SEND_NAME_DB2};

char working_paths[SET_FILES_MAX][PATH_BUFFER_SIZE + 8];
const char *const working_list[SET_FILES_MAX] = {working_paths[0], working_paths[1],
                                                 working_paths[2]};

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
    for (int i = 0; i < SET_FILES_MAX; i++)
        std::remove(finals[i]);
    const char *const *working = working_set();
    int failed = -1;
    for (int i = 0; i < count; i++) {
        if (std::rename(working[i], finals[i]) != 0 && failed < 0)
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

void remove_set(const char *const *paths, int count)
{
    for (int i = 0; i < count; i++)
        std::remove(paths[i]);
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
