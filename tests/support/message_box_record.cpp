// Message boxes that record their text and caption instead of waiting for a user.
#include "message_box.h"
#include "recorded.h"

#include <cstring>

recorded_message message_calls[RECORDED_MAX];
int message_call_count;

void message_box(message_owner owner, const char *text, const char *caption, unsigned style)
{
    if (message_call_count < RECORDED_MAX) {
        recorded_message &call = message_calls[message_call_count];
        call.owner = owner;
        std::strncpy(call.text, text, sizeof call.text - 1);
        call.text[sizeof call.text - 1] = '\0';
        std::strncpy(call.caption, caption, sizeof call.caption - 1);
        call.caption[sizeof call.caption - 1] = '\0';
        call.style = style;
    }
    message_call_count++;
}

void clear_recorded()
{
    progress_call_count = 0;
    progress_box_open = 0;
    message_call_count = 0;
}
