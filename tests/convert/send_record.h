// Recording doubles of the job's two outside calls: the batch send and the platform's wait.
// Each call is kept with what it was given and with what the folder held at that moment.
#ifndef KESTREL_TEST_SEND_RECORD_H
#define KESTREL_TEST_SEND_RECORD_H

struct recorded_send {
    int count;
    char paths[3][1024];
    char names[3][256];
    unsigned char com_index;
    unsigned char baud_index;
    long sizes[3];        // bytes of each file at paths[i] during the call; -1 when missing
    int waits_before;     // calls of platform_sleep_ms made before this send
    int progress_open;    // 1 when the Progress box was open during the call
};

enum { RECORDED_SENDS = 8 };

extern recorded_send send_calls[RECORDED_SENDS];
extern int send_call_count;
extern int send_result; // what the double returns; count when not set

extern unsigned wait_calls[RECORDED_SENDS];
extern int wait_call_count;

// Forgets every send and wait, and returns count from the next sends.
void clear_sends();

#endif
