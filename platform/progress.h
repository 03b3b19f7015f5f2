// The Progress box: one line of text in a white box painted straight onto the screen, with
// no window of its own. Opening saves the pixels underneath; closing puts them back.
#ifndef KESTREL_PROGRESS_H
#define KESTREL_PROGRESS_H

enum {
    PROGRESS_OPEN = 0,   // measure and place the box, save the screen under it
    PROGRESS_UPDATE = 1, // draw status_text, a space and the value
    PROGRESS_CLOSE = 2   // restore the saved pixels (any other mode does the same)
};

// The label drawn before the number; callers fill it before their updates.
extern char status_text[256];

void show_progress(int mode, int value);

// What the values of the updates that follow count.
enum progress_unit {
    PROGRESS_RECORDS = 0,  // the conversion: records made
    PROGRESS_KILOBYTES = 1 // one file of a send: kilobytes sent
};

// Begins a phase of the box: the updates that follow count unit, up to total (0 when the
// caller does not know it). The label for the phase is in status_text already. The Windows box
// draws nothing for it (it shows the label and the value alone); the console's draws a bar
// and the time left from it.
void progress_phase(progress_unit unit, long total);

#endif
