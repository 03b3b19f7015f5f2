// message_box for the console program: every box kestrel.exe would show becomes one line on
// standard error, "caption: text", and nobody has to close it; a rack's child writes it as a
// report line for its parent. No state beyond the report mode.
#include "console.h"
#include "message_box.h"

namespace {

int reporting;

} // namespace

void console_report_boxes()
{
    reporting = 1;
}

void message_box(message_owner, const char *text, const char *caption, unsigned)
{
    progress_end_line();
    console_print("%s%s: %s\n", reporting ? REPORT_BOX : "", caption, text);
}
