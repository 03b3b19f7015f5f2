// The user-facing seams of programs that show nothing, the fuzz targets and the benchmarks:
// nothing is drawn or shown, but a message box's texts are read to their ends, as the real
// one reads them (so that a fuzz target finds a text that is not terminated).
#include "message_box.h"
#include "progress.h"

#include <cstring>

char status_text[256];

void show_progress(int, int) {}

void progress_phase(progress_unit, long) {}

void message_box(message_owner, const char *text, const char *caption, unsigned)
{
    volatile std::size_t seen = std::strlen(text) + std::strlen(caption);
    (void)seen;
}
