// The batch send and the wait, recorded instead of done.
#include "send_record.h"

#include "platform.h"
#include "recorded.h"
#include "zmodem.h"

#include <cstdio>
#include <cstring>

recorded_send send_calls[RECORDED_SENDS];
int send_call_count;
int send_result = -2;

unsigned wait_calls[RECORDED_SENDS];
int wait_call_count;

namespace {

long size_of(const char *path)
{
    std::FILE *file = std::fopen(path, "rb");
    if (!file)
        return -1;
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    std::fclose(file);
    return size;
}

} // namespace

void clear_sends()
{
    send_call_count = 0;
    send_result = -2;
    wait_call_count = 0;
}

int zmodem_send_files(int count, const char *const *paths, const char (*names)[256],
                      unsigned char com_index, unsigned char baud_index, send_outcome *outcome)
{
    if (send_call_count < RECORDED_SENDS) {
        recorded_send &call = send_calls[send_call_count];
        std::memset(&call, 0, sizeof call);
        call.count = count;
        for (int i = 0; i < count && i < 3; i++) {
            std::snprintf(call.paths[i], sizeof call.paths[i], "%s", paths[i]);
            std::snprintf(call.names[i], sizeof call.names[i], "%s", names[i]);
            call.sizes[i] = size_of(paths[i]);
        }
        call.com_index = com_index;
        call.baud_index = baud_index;
        call.waits_before = wait_call_count;
        call.progress_open = progress_box_open;
    }
    send_call_count++;
    const int result = send_result == -2 ? count : send_result;
    if (outcome)
        *outcome = result == count ? send_outcome{SEND_DONE, "Files succesfully transferred"}
                                   : send_outcome{SEND_FAILED, "Transfer error..."};
    return result;
}

void platform_sleep_ms(unsigned milliseconds)
{
    if (wait_call_count < RECORDED_SENDS)
        wait_calls[wait_call_count] = milliseconds;
    wait_call_count++;
}
