// Test doubles of the program's user-facing seams: every Progress box call and every message
// box is recorded in fixed tables that tests read and clear.
#ifndef KESTREL_TEST_RECORDED_H
#define KESTREL_TEST_RECORDED_H

#include "message_box.h"

struct recorded_progress {
    int mode;
    int value;
    char status_text[256]; // the label as it stood at the call
};

struct recorded_message {
    message_owner owner;
    char text[256];
    char caption[64];
    unsigned style;
};

enum { RECORDED_MAX = 4096 };

extern recorded_progress progress_calls[RECORDED_MAX];
extern int progress_call_count;   // all calls, also those beyond RECORDED_MAX
extern int progress_box_open;     // 1 between an open and a close

extern recorded_message message_calls[RECORDED_MAX];
extern int message_call_count;

// Forgets everything recorded so far.
void clear_recorded();

#endif
