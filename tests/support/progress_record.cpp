// A Progress box that draws nothing and records every call, with the label it would draw.
#include "progress.h"
#include "recorded.h"

#include <cstring>

char status_text[256];

recorded_progress progress_calls[RECORDED_MAX];
int progress_call_count;
int progress_box_open;

void show_progress(int mode, int value)
{
    if (progress_call_count < RECORDED_MAX) {
        recorded_progress &call = progress_calls[progress_call_count];
        call.mode = mode;
        call.value = value;
        // Both buffers hold 256 bytes: copy all but the last and terminate.
        std::memcpy(call.status_text, status_text, sizeof call.status_text - 1);
        call.status_text[sizeof call.status_text - 1] = '\0';
    }
    progress_call_count++;
    if (mode == PROGRESS_OPEN)
        progress_box_open = 1;
    else if (mode != PROGRESS_UPDATE)
        progress_box_open = 0;
}

// A phase changes nothing the box would draw, so it is not recorded.
void progress_phase(progress_unit, long) {}
