// Standard error, the console program's one channel to the person or script that runs it:
// the Progress box and the message boxes of kestrel.exe become lines there. The program's own
// texts are Windows-1250 bytes; console_write shows them right on this platform's terminal.
#ifndef KESTREL_CONSOLE_H
#define KESTREL_CONSOLE_H

// The platform seam (console_win32.cpp, console_posix.cpp).
// 1 when standard error is a terminal (a console window), 0 when it goes to a file or pipe.
int console_is_terminal();
// Writes length bytes of text to standard error. Bytes above 0x7F are the program's
// Windows-1250 letters or the user's own text (file names); each platform shows both right.
void console_write(const char *text, int length);

// Formats into a fixed buffer (cut at 1023 bytes) and writes it with console_write.
void console_print(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The console Progress box (console_progress.cpp).
// The number of records the next conversion will make, for its bar and its time left;
// 0 when unknown. Forgotten when the box closes.
void progress_expect_records(long total);
// Ends a bar line drawn on the terminal, so that the next text starts on a line of its own.
void progress_end_line();

// The console message boxes (console_message_box.cpp).
// The outcome of a batch send, told by the box it ended with: CLI_OK after the success box,
// CLI_PORT after "Can't open COM port.", CLI_TRANSFER after any other box or none at all.
int transfer_status();

#endif
