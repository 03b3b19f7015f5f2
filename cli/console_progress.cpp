// show_progress for the console program: the Progress box of kestrel.exe as lines on standard
// error. On a terminal one line is redrawn in place: the box's own text (status_text and the
// value), a bar, the rate and the time left. Elsewhere (a log file, a pipe) a plain line
// every few seconds, and one at the end of each phase. A rack's child writes report lines.
//
// A phase is the conversion, or one file of a batch send; progress_phase begins it with what
// it counts and its total. The conversion's total is not known to the conversion: it is the
// count of records progress_expect_records was given.
// State: status_text, and the current phase (below), from an open to the next close.
#include "console.h"
#include "progress.h"

#include <cstdio>
#include <cstring>

char status_text[256];

namespace {

enum {
    LABEL_SHOWN = 32, // bytes of the label on a terminal line
    BAR_WIDTH = 10,
    LINE_MAX = 79     // a terminal line longer than its window would break the redraw
};
const double PLAIN_EVERY_S = 5.0;
const double REDRAW_EVERY_S = 0.1;
const double REPORT_EVERY_S = 1.0; // enough for a rack parent's lines, and cheap to read

int terminal = -1;  // standard error is a terminal; decided once
int reporting;      // a rack's child: report lines instead of bars
int box_open;
int in_phase;
int phase_updated; // the phase has had an update: only then has it a line to leave
progress_view phase;
long expected_records;
progress_clock::time_point last_shown;
int bar_length;     // bytes of the bar line on the terminal now; 0 when none is

double seconds_since(progress_clock::time_point then)
{
    return std::chrono::duration<double>(progress_clock::now() - then).count();
}

// The label without its padding, cut to at most limit bytes and never inside a UTF-8 letter.
int trimmed_label(char *out, const char *label, int limit)
{
    while (*label == ' ')
        label++;
    int length = static_cast<int>(std::strlen(label));
    while (length > 0 && label[length - 1] == ' ')
        length--;
    if (length > limit) {
        length = limit;
        while (length > 0 && (static_cast<unsigned char>(label[length]) & 0xC0) == 0x80)
            length--;
    }
    std::memcpy(out, label, static_cast<std::size_t>(length));
    out[length] = '\0';
    return length;
}

void draw_bar()
{
    char line[512];
    int length = format_progress(line, sizeof line, &phase, LABEL_SHOWN, 1);
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
    int length = format_progress(line, sizeof line, &phase, static_cast<int>(sizeof line), 0);
    console_write(line, length);
    console_write("\n", 1);
    last_shown = progress_clock::now();
}

void show_value()
{
    if (reporting)
        console_print(REPORT_VALUE "%ld\n", phase.value);
    else if (terminal)
        draw_bar();
    else
        print_plain();
    last_shown = progress_clock::now();
}

// The end of a phase: its last value stays on the screen or in the log.
void end_phase()
{
    if (!in_phase)
        return;
    if (phase_updated)
        show_value();
    if (terminal && !reporting)
        progress_end_line();
    in_phase = 0;
}

void update(int value)
{
    if (!in_phase)
        progress_phase(PROGRESS_RECORDS, 0);
    phase.value = value;
    phase_updated = 1;
    const double every = reporting ? REPORT_EVERY_S : terminal ? REDRAW_EVERY_S : PLAIN_EVERY_S;
    if ((terminal && !reporting && bar_length == 0) || seconds_since(last_shown) >= every)
        show_value();
}

} // namespace

int format_progress(char *line, int size, const progress_view *view, int label_limit,
                    int with_bar)
{
    char label[sizeof view->label];
    if (label_limit > static_cast<int>(sizeof label) - 1)
        label_limit = static_cast<int>(sizeof label) - 1;
    trimmed_label(label, view->label, label_limit);
    const std::size_t room = static_cast<std::size_t>(size);
    int at = std::snprintf(line, room, "%s %ld", label, view->value);
    const double elapsed = seconds_since(view->start);
    const double rate = elapsed > 0.05 ? static_cast<double>(view->value) / elapsed : 0.0;
    if (view->total > 0) {
        long done = view->value < view->total ? view->value : view->total;
        if (with_bar) {
            char bar[BAR_WIDTH + 1];
            int filled = static_cast<int>(done * BAR_WIDTH / view->total);
            for (int i = 0; i < BAR_WIDTH; i++)
                bar[i] = i < filled ? '#' : '.';
            bar[BAR_WIDTH] = '\0';
            at += std::snprintf(line + at, room - static_cast<std::size_t>(at), " [%s]", bar);
        }
        at += std::snprintf(line + at, room - static_cast<std::size_t>(at), " %3ld%%",
                            done * 100 / view->total);
    }
    if (rate > 0.0) {
        const char *unit = view->unit == PROGRESS_KILOBYTES ? "kb" : "records";
        at += std::snprintf(line + at, room - static_cast<std::size_t>(at), " %.0f %s/s", rate,
                            unit);
        if (view->total > view->value) {
            char left[16];
            format_duration(left, sizeof left,
                            static_cast<long>(static_cast<double>(view->total - view->value) /
                                              rate));
            at += std::snprintf(line + at, room - static_cast<std::size_t>(at), " %s left", left);
        }
    }
    return at < size ? at : size - 1;
}

void format_duration(char *out, int size, long seconds)
{
    // A time past 99:59:59 shows as that, which keeps the text within its 16 bytes.
    const int whole = seconds < 0 ? 0 : seconds > 359999 ? 359999 : static_cast<int>(seconds);
    const std::size_t room = static_cast<std::size_t>(size);
    if (whole >= 3600)
        std::snprintf(out, room, "%d:%02d:%02d", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(out, room, "%d:%02d", whole / 60, whole % 60);
}

void console_report_mode()
{
    reporting = 1;
    console_report_boxes();
}

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

void progress_phase(progress_unit unit, long total)
{
    if (!box_open)
        return;
    end_phase();
    status_text[sizeof status_text - 1] = '\0';
    std::memcpy(phase.label, status_text, sizeof phase.label);
    phase.unit = unit;
    phase.total = unit == PROGRESS_RECORDS && total == 0 ? expected_records : total;
    phase.value = 0;
    phase.start = last_shown = progress_clock::now();
    in_phase = 1;
    phase_updated = 0;
    if (reporting)
        console_print(REPORT_PHASE "%d %ld %s\n", static_cast<int>(unit), phase.total,
                      phase.label);
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
