// The Properties dialog as the run sequence sees it, and the dialog's rules that need no
// window: the number fields and the split of a chosen path. dialog_win32.cpp shows the real
// dialog; the tests link a scripted show_properties_dialog instead.
#ifndef KESTREL_PROPERTIES_DIALOG_H
#define KESTREL_PROPERTIES_DIALOG_H

// Results of show_properties_dialog: the ids of the buttons that end the dialog.
enum {
    DIALOG_FAILED = -1, // the template could not be shown
    DIALOG_OK = 1,
    DIALOG_CANCEL = 2
};

// Shows the dialog modally over settings, owned by the thread's active window. Returns
// DIALOG_OK, DIALOG_CANCEL or DIALOG_FAILED.
int show_properties_dialog();

// Lets the user pick the lookup file in a Save-As chooser that proposes lookup_name in
// folder. Returns 1 with the full chosen path in lookup_path, or 0 when nothing was chosen.
int choose_lookup_file();

// Numbers above this are refused as they are typed.
enum { NUMBER_FIELD_MAX = 250 };

// What the number rule does to a field after a change of its text.
enum number_field_action {
    NUMBER_KEEP_TEXT,   // the text stays as typed
    NUMBER_RESET_TEXT   // the text is replaced by "0"
};

// The number rule for one change of field control_id (603, 604, 605, 1011 or 1012).
// translated is 1 when the text read as an unsigned decimal number, value that number;
// text_empty is 1 when the field holds no text. A number of 0 to NUMBER_FIELD_MAX is stored
// in the field's setting (line_length takes its low 8 bits), anything else unreadable stores
// 0, and a number above NUMBER_FIELD_MAX stores nothing. Other ids change nothing.
number_field_action apply_number_field(int control_id, int translated, unsigned value,
                                       int text_empty);

// Splits lookup_path, as the chooser left it, at its last backslash: folder gets everything
// up to and including it, lookup_name the rest. A path without a backslash is all name.
void take_chosen_lookup_path();

#endif
