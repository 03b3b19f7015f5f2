// kestrel-cli, the console program: the conversion, the batch send and the whole job of
// kestrel.exe, driven by arguments instead of the Properties dialog, reporting on standard
// error instead of in boxes. Each command is one function over the process-wide state that
// the conversion and the sender share with kestrel.exe (settings, paths, lookup_handle).
// Several ports make a rack: one child process per port, each a run of "send" on one port.
#ifndef KESTREL_CLI_H
#define KESTREL_CLI_H

#include "zmodem.h"

// The exit status tells a script what happened; each kind of failure has its own.
enum cli_status {
    CLI_OK = 0,
    CLI_TIMEOUT = 1,     // the receiver stayed silent or the line went away: the sender ends
                         // the process with it
    CLI_USAGE = 2,       // bad arguments, or a settings file that is not one
    CLI_UNREADABLE = 3,  // the lookup file, the settings file or a file to send cannot be read
    CLI_CONVERSION = 4,  // the conversion failed
    CLI_PORT = 5,        // the port cannot be opened
    CLI_TRANSFER = 6,    // the receiver refused the transfer, or it failed on the way
    CLI_RACK = 7,        // several ports: at least one terminal did not get its files
    CLI_BUSY = 8         // another run holds the working names of the same folder
    // An interrupt ends the program with 130 (SIGINT, Ctrl-C) or 143 (SIGTERM, window closed).
};

// The status of a send's outcome, as a run on that port alone ends with it.
int send_status(const send_outcome *outcome);

// The commands. args are the arguments after the command's name.
int run_convert(int count, char **args);
int run_send(int count, char **args);
int run_load(int count, char **args);

// Opens the lookup file into lookup_handle and counts its records for the progress, as the
// run sequence of kestrel.exe opens it. 0 after "Can't open lookop file!" when it cannot.
int open_lookup(const char *path);
void close_lookup();
// After "Conversion of lookup file failed!": why, as far as the conversion can tell (the record
// file not created, a lookup file too large, a failed read, or how many records the record
// store took before it stopped). Says nothing for a failure the caller has explained already.
void explain_stopped_conversion();

// Holds the working names of temp_base's folder for the rest of the run: an exclusive lock on
// its lock file (temp_base and ".lck"), so that two runs in one folder never share them.
// CLI_OK, or CLI_BUSY or CLI_CONVERSION after a message.
int hold_folder();
// Gives the folder up again (also when nothing is held).
void release_folder();
// "cannot remove PATH: reason" or "cannot rename PATH to TARGET: reason", of last_set_fault.
void complain_set_fault();

// --- Argument helpers (cli_options.cpp) -----------------------------------------------------

// When args[*at] is the option name, alone (its value is the next argument) or as name=value,
// sets *value, moves *at past what it used and returns 1. Returns 0 when args[*at] is some
// other argument, -1 after a message when the value is missing.
int take_option(int count, char **args, int *at, const char *name, const char **value);
// 1 when text is "--help" or "-h".
int is_help(const char *text);
// Reads a decimal number from min to max, digits only. 1 with *value set, else 0.
int parse_number(const char *text, int min, int max, int *value);
// The rate's index in the list 115200, 57600, 38400, 19200, 9600, or -1 after a message.
int parse_rate(const char *text);
// The com_index of "COM1" to "COM256" (in any case, no leading zeros), else -1.
int parse_com_name(const char *text);
// 1 when path can be opened for reading as a file, else 0.
int is_readable(const char *path);
// is_readable, with "what: cannot read path" when it is not.
int check_readable(const char *path, const char *what);
// Prints "kestrel-cli: " and the formatted text and a line end on standard error.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// --- The port (port_name_win32.cpp, port_name_posix.cpp) -------------------------------------

// Reads PORT as this platform names ports and makes the sender open it. Returns the
// com_index to hand to the send, or -1 after a message when PORT names no port here.
int choose_port(const char *port);
// PORT's forms on this platform, for the help.
extern const char PORT_HELP[];
// After "Can't open COM port.": why PORT did not open, where this platform can tell ("no such
// device"), in parentheses with a space before; else "".
const char *port_reason(const char *port);
// The system's text of the error number of a line gone (line_gone_error, serial_port.h):
// errno's on Linux, the Windows message of a GetLastError code there.
const char *line_error_text(int error);

// The ports of one command: --port repeated, or several in one value separated by commas.
enum { PORTS_MAX = 32 };
struct port_list {
    int count;
    const char *names[PORTS_MAX]; // into text
    char text[4096];
    int used;
};
// Adds the ports of value to list. 1, or 0 after a message (an empty name, too many ports).
int add_ports(port_list *list, const char *value);

// --- The rack (cli_rack.cpp) -----------------------------------------------------------------

// Sends the same batch to every port of ports at once: each port is served by a child, this
// program's "send" on that port alone with files as its FILE[=NAME] arguments, all started
// together. Draws one progress line per port (plain lines, each beginning with its port, when
// standard error is no terminal) and a summary line per port at the end. An interrupt is
// passed on to every child. Returns CLI_OK when every child ended with 0, the interrupt's
// status after an interrupt, else CLI_RACK.
int run_rack(const port_list *ports, const char *rate, int files, const char *const *file_args);

// The count files at paths, to be removed (with the folder's lock released) should the sender
// end the process after "Timeout error"; paths null: none.
void remove_at_timeout(const char *const *paths, int count);

#endif
