// show_progress for the console program: the Progress box of kestrel.exe as lines on standard
// error. On a terminal one line is redrawn in place: the box's own text (status_text and the
// value), a bar, the rate and the time left. Elsewhere (a log file, a pipe) a plain line
// every few seconds, and one at the end of each phase.
//
// A phase is the conversion, or one file of a batch send; a new label in status_text starts
// a new one. Its total comes from progress_expect_records for the conversion and from the
// send's label, which gives the file's size "(N kb)".
// State: status_text, and the current phase (below), from an open to the next close.
#include "console.h"
#include "progress.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char status_text[256];

namespace {

typedef std::chrono::steady_clock progress_clock;

enum {
    LABEL_SHOWN = 32, // bytes of the label on a terminal line
    BAR_WIDTH = 10,
    LINE_MAX = 79     // a terminal line longer than its window would break the redraw
};
const double PLAIN_EVERY_S = 5.0;
const double REDRAW_EVERY_S = 0.1;

int terminal = -1;  // standard error is a terminal; decided once
int box_open;
char phase_label[sizeof status_text]; // empty until the first update of a phase
const char *phase_unit;
long phase_total;   // 0 when unknown
long expected_records;
int last_value;
progress_clock::time_point phase_start;
progress_clock::time_point last_shown;
int bar_length;     // bytes of the bar line on the terminal now; 0 when none is

double seconds_since(progress_clock::time_point then)
{
    return std::chrono::duration<double>(progress_clock::now() - then).count();
}

// The send's label ends in "(N kb): ": N is the file's size in kilobytes.
long kilobytes_in_label(const char *label)
{
    const char *open = std::strrchr(label, '(');
    if (!open)
        return -1;
    char *end = nullptr;
    long value = std::strtol(open + 1, &end, 10);
    return std::strncmp(end, " kb)", 4) == 0 ? value : -1;
}

// "m:ss" or "h:mm:ss" of a number of seconds.
void format_duration(char *out, std::size_t size, long seconds)
{
    if (seconds >= 3600)
        std::snprintf(out, size, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        std::snprintf(out, size, "%ld:%02ld", seconds / 60, seconds % 60);
}

// The label without its padding, cut to at most limit bytes and never inside a UTF-8 letter.
int trimmed_label(char *out, int limit)
{
    const char *from = phase_label;
    while (*from == ' ')
        from++;
    int length = static_cast<int>(std::strlen(from));
    while (length > 0 && from[length - 1] == ' ')
        length--;
    if (length > limit) {
        length = limit;
        while (length > 0 && (static_cast<unsigned char>(from[length]) & 0xC0) == 0x80)
            length--;
    }
    std::memcpy(out, from, static_cast<std::size_t>(length));
    out[length] = '\0';
    return length;
}

// One line of the phase: label and value as the box draws them, then what a terminal adds.
int format_line(char *line, std::size_t size, int with_bar)
{
    char label[sizeof phase_label];
    trimmed_label(label, with_bar ? LABEL_SHOWN : static_cast<int>(sizeof label) - 1);
    int at = std::snprintf(line, size, "%s %d", label, last_value);
    const double elapsed = seconds_since(phase_start);
    const double rate = elapsed > 0.05 ? static_cast<double>(last_value) / elapsed : 0.0;
    if (phase_total > 0) {
        long done = last_value < phase_total ? last_value : phase_total;
        if (with_bar) {
            char bar[BAR_WIDTH + 1];
            int filled = static_cast<int>(done * BAR_WIDTH / phase_total);
            for (int i = 0; i < BAR_WIDTH; i++)
                bar[i] = i < filled ? '#' : '.';
            bar[BAR_WIDTH] = '\0';
            at += std::snprintf(line + at, size - static_cast<std::size_t>(at), " [%s]", bar);
        }
        at += std::snprintf(line + at, size - static_cast<std::size_t>(at), " %3ld%%",
                            done * 100 / phase_total);
    }
    if (rate > 0.0) {
        at += std::snprintf(line + at, size - static_cast<std::size_t>(at), " %.0f %s/s", rate,
                            phase_unit);
        if (phase_total > last_value) {
            char left[16];
            format_duration(left, sizeof left,
                            static_cast<long>(static_cast<double>(phase_total - last_value) / rate));
            at += std::snprintf(line + at, size - static_cast<std::size_t>(at), " %s left", left);
        }
    }
    return at < static_cast<int>(size) ? at : static_cast<int>(size) - 1;
}

void draw_bar()
{
    char line[512];
    int length = format_line(line, sizeof line, 1);
    if (length > LINE_MAX)
        length = LINE_MAX;
    // Blanks over what is left of a longer line drawn before.
    int cover = bar_length > length ? bar_length - length : 0;
    console_write("\r", 1);
    console_write(line, length);
    console_print("%*s", cover, "");
    bar_length = length;
    last_shown = progress_clock::now();
}

void print_plain()
{
    char line[512];
    int length = format_line(line, sizeof line, 0);
    console_write(line, length);
    console_write("\n", 1);
    last_shown = progress_clock::now();
}

// The end of a phase: its last value stays on the screen or in the log.
void end_phase()
{
    if (phase_label[0] == '\0')
        return;
    if (terminal) {
        draw_bar();
        progress_end_line();
    } else {
        print_plain();
    }
    phase_label[0] = '\0';
}

void start_phase()
{
    end_phase();
    std::memcpy(phase_label, status_text, sizeof phase_label);
    phase_label[sizeof phase_label - 1] = '\0';
    long kilobytes = kilobytes_in_label(phase_label);
    phase_unit = kilobytes >= 0 ? "kb" : "records";
    phase_total = kilobytes >= 0 ? kilobytes : expected_records;
    phase_start = last_shown = progress_clock::now();
}

void update(int value)
{
    status_text[sizeof status_text - 1] = '\0';
    if (phase_label[0] == '\0' || std::strcmp(phase_label, status_text) != 0)
        start_phase();
    last_value = value;
    if (terminal) {
        if (bar_length == 0 || seconds_since(last_shown) >= REDRAW_EVERY_S)
            draw_bar();
    } else if (seconds_since(last_shown) >= PLAIN_EVERY_S) {
        print_plain();
    }
}

} // namespace

void progress_expect_records(long total)
{
    expected_records = total;
}

void progress_end_line()
{
    if (bar_length > 0)
        console_write("\n", 1);
    bar_length = 0;
}

void show_progress(int mode, int value)
{
    if (terminal < 0)
        terminal = console_is_terminal();
    if (mode == PROGRESS_OPEN) {
        end_phase();
        box_open = 1;
    } else if (mode == PROGRESS_UPDATE) {
        if (box_open)
            update(value);
    } else if (box_open) {
        end_phase();
        box_open = 0;
        expected_records = 0;
    }
}
