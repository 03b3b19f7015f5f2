// The convert-and-send job. The files it handles lie in the program folder: temp_base with
// .db0 to .db2 while the conversion writes them, DBF1.db0 to DBF1.db2 (db0_path..db2_path)
// while they are sent. The send reads them by those full paths and announces them to the
// terminal as "dbf1.db0".."dbf1.db2", so neither the current directory nor the case
// sensitivity of the file system decides whether they are found.
#include "convert_job.h"

#include "lookup_convert.h"
#include "platform.h"
#include "progress.h"
#include "settings.h"
#include "zmodem.h"

#include <cstdio>
#include <cstring>

namespace {

// Moves temp_base + extension to final_path.
void move_temporary(const char *extension, const char *final_path)
{
    char temporary[PATH_BUFFER_SIZE + 8];
    std::snprintf(temporary, sizeof temporary, "%s%s", temp_base, extension);
    std::rename(temporary, final_path);
}

void send_files(int with_second_index)
{
    char name_list[3][256];
    std::strcpy(name_list[0], SEND_NAME_DB0);
    std::strcpy(name_list[1], SEND_NAME_DB1);
    std::strcpy(name_list[2], with_second_index ? SEND_NAME_DB2 : "");
    const char *const paths[3] = {db0_path, db1_path, db2_path};
    const int count = with_second_index ? 3 : 2;

    platform_sleep_ms(SEND_WAIT_MS);
    zmodem_send_files(count, paths, name_list, static_cast<unsigned char>(settings.com_index),
                      static_cast<unsigned char>(settings.baud_index));
}

} // namespace

int convert_and_send()
{
    const int result = convert_lookup();
    show_progress(PROGRESS_CLOSE, 0);

    // Files of an earlier run go first: a rename onto an existing file fails on Windows.
    std::remove(db0_path);
    std::remove(db1_path);
    std::remove(db2_path);

    const int with_second_index = second_key_configured();
    move_temporary(".db0", db0_path);
    move_temporary(".db1", db1_path);
    if (with_second_index)
        move_temporary(".db2", db2_path);

    if (result == 1 && settings.send_mode == 1)
        send_files(with_second_index);

    std::remove(db0_path);
    std::remove(db1_path);
    if (with_second_index)
        std::remove(db2_path);
    return result;
}
