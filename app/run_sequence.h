// The program's single pass, from the Properties dialog to the end of the transfer.
#ifndef KESTREL_RUN_SEQUENCE_H
#define KESTREL_RUN_SEQUENCE_H

// Shows the Properties dialog when show_dialog is set (and saves the settings unless it was
// cancelled), opens the lookup file into lookup_handle, opens the Progress box and runs the
// convert-and-send job, reporting a failed conversion.
// Returns 0 when the dialog was cancelled (nothing written, opened or sent), -1 when the
// lookup file cannot be opened (after "Can't open lookop file!"), 1 in every other case: the
// job ran, whatever the conversion and the send gave.
int run_sequence();

#endif
