// message_box for the console program: every box kestrel.exe would show becomes one line on
// standard error, "caption: text", and nobody has to close it. The last box is kept: a batch
// send tells its outcome only in its box. State: last_text, last_caption.
#include "cli.h"
#include "console.h"
#include "message_box.h"
#include "messages.h"

#include <cstdio>
#include <cstring>

namespace {

char last_text[256];
char last_caption[64];

void keep(char *field, std::size_t size, const char *text)
{
    std::snprintf(field, size, "%s", text);
}

} // namespace

void message_box(message_owner, const char *text, const char *caption, unsigned)
{
    keep(last_text, sizeof last_text, text);
    keep(last_caption, sizeof last_caption, caption);
    progress_end_line();
    console_print("%s: %s\n", caption, text);
}

int transfer_status()
{
    if (std::strcmp(last_caption, MSG_CAPTION_TRANSFER_OK) == 0)
        return CLI_OK;
    if (std::strcmp(last_text, MSG_CANT_OPEN_PORT) == 0)
        return CLI_PORT;
    return CLI_TRANSFER;
}
