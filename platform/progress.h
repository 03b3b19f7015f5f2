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

#endif
