// Standard error, the console program's one channel to the person or script that runs it:
// the Progress box and the message boxes of kestrel.exe become lines there. The program's own
// texts are Windows-1250 bytes; console_write shows them right on this platform's terminal.
// A child of a rack (report mode) writes there for its parent instead, in the line form of
// report lines below, and the parent alone draws for a person.
#ifndef KESTREL_CONSOLE_H
#define KESTREL_CONSOLE_H

#include <chrono>

// The platform seam (console_win32.cpp, console_posix.cpp).
// 1 when standard error is a terminal (a console window), 0 when it goes to a file or pipe.
int console_is_terminal();
// Writes length bytes of text to standard error. Bytes above 0x7F are the program's
// Windows-1250 letters or the user's own text (file names); each platform shows both right.
void console_write(const char *text, int length);
// Moves the cursor of the terminal up by lines, to the start of that line.
void console_cursor_up(int lines);

// Formats into a fixed buffer (cut at 1023 bytes) and writes it with console_write.
void console_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- Report lines: what a rack's child tells its parent, one line each on standard error ---
//   @phase UNIT TOTAL LABEL   a phase begins (UNIT 0 records, 1 kilobytes; TOTAL 0 unknown)
//   @value N                  the phase's count
//   @box CAPTION: TEXT        a message box
// Every other line is the child's own text (a complaint), shown with the port in front.
#define REPORT_PHASE "@phase "
#define REPORT_VALUE "@value "
#define REPORT_BOX   "@box "

// Makes this process a rack's child: progress and boxes go out as report lines.
void console_report_mode();
// The boxes' part of it (console_message_box.cpp).
void console_report_boxes();

// --- Progress (console_progress.cpp) ---------------------------------------------------------

typedef std::chrono::steady_clock progress_clock;

// One phase as a line shows it.
struct progress_view {
    char label[256];   // status_text as the phase began, Windows-1250 or UTF-8
    int unit;          // progress_unit
    long total;        // 0 when unknown
    long value;
    progress_clock::time_point start;
};

// The line of a phase: label (cut to label_limit bytes, never inside a UTF-8 letter) and
// value as the box draws them, then a bar (with_bar), the share done, the rate and the time
// left. Returns the line's length.
int format_progress(char *line, int size, const progress_view *view, int label_limit,
                    int with_bar);
// The number of records the next conversion will make, for its bar and its time left;
// 0 when unknown. Forgotten when the box closes.
void progress_expect_records(long total);
// Ends a bar line drawn on the terminal, so that the next text starts on a line of its own.
void progress_end_line();
// "m:ss" or "h:mm:ss" of a number of seconds (at most 99:59:59).
void format_duration(char *out, int size, long seconds);

#endif
