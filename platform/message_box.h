// Message boxes, the program's only way of telling the user anything. The Windows build shows
// a real modal box; tests link a recording double and read what a user would have seen.
#ifndef KESTREL_MESSAGE_BOX_H
#define KESTREL_MESSAGE_BOX_H

enum {
    MSGBOX_OK = 0x00,
    MSGBOX_ICON_EXCLAMATION = 0x30
};

enum message_owner {
    OWNER_NONE,   // a box with no owner window
    OWNER_ACTIVE  // owned by the thread's active window, if any
};

// Shows text with caption and the given MSGBOX_* style, and waits until the user closes it.
void message_box(message_owner owner, const char *text, const char *caption, unsigned style);

#endif
