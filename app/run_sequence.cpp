// The program's single pass. It keeps no state of its own beyond lookup_handle, which it
// opens for the conversion and closes again on every path that opened it.
#include "run_sequence.h"

#include "convert_job.h"
#include "message_box.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "properties_dialog.h"
#include "settings.h"

int run_sequence()
{
    if (settings.show_dialog != 0) {
        // Cancel ends the run with nothing written; OK, and a dialog that could not be shown
        // at all, go on with the settings as they stand.
        if (show_properties_dialog() == DIALOG_CANCEL)
            return 0;
        save_settings();
    }

    compose_lookup_path();
    lookup_handle = platform_open_read(lookup_path);
    if (lookup_handle == PLATFORM_FILE_INVALID) {
        message_box(OWNER_NONE, MSG_CANT_OPEN_LOOKUP, MSG_CAPTION_ERROR,
                    MSGBOX_ICON_EXCLAMATION | MSGBOX_OK);
        return -1;
    }

    show_progress(PROGRESS_OPEN, 0);
    if (convert_and_send() == 0) {
        message_box(OWNER_ACTIVE, MSG_CONVERSION_FAILED, MSG_CAPTION_ERROR,
                    MSGBOX_ICON_EXCLAMATION | MSGBOX_OK);
        // The job closed the box already; this close only makes sure of it.
        show_progress(PROGRESS_CLOSE, 0);
    }

    platform_close(lookup_handle);
    lookup_handle = PLATFORM_FILE_INVALID;
    return 1;
}
