// The program's settings, kept in "tabsync.ini" beside the program, and the paths every step
// of a run uses. All of it is process-wide state in fixed buffers, filled once at start-up by
// load_settings and then only read (the Properties dialog may change the settings record).
//
// The settings file is ten lines, each ended by CR LF:
//   1 folder        text            6 key2_offset   decimal
//   2 lookup_name   text            7 key2_length   decimal
//   3 line_length   decimal         8 com_index     one character, "1" + value
//   4 key1_offset   decimal         9 baud_index    one character, "1" + value
//   5 key1_length   decimal        10 show_dialog   one character, "0" + value
#ifndef KESTREL_SETTINGS_H
#define KESTREL_SETTINGS_H

#include "platform.h"

enum { PATH_BUFFER_SIZE = 1024 };

// The working name of a file set while it is written: the record store adds .db0 to .db2.
constexpr char WORK_SET_NAME[] = "~tmpdbf";

// The values of send_mode, as the dialog lists them ("No", "After succesfull conversion",
// "Allways"). Only SEND_MODE_AFTER_SUCCESS sends: 0 and 2 both send nothing, whatever the
// name of 2 suggests. Neither the settings file nor the dialog sets it, so it holds 1 for the
// whole run.
enum {
    SEND_MODE_NO = 0,
    SEND_MODE_AFTER_SUCCESS = 1,
    SEND_MODE_ALWAYS = 2
};

struct settings_record {
    char folder[PATH_BUFFER_SIZE];      // folder of the lookup file, normally ending in '\'
    char lookup_name[PATH_BUFFER_SIZE]; // the lookup file's name, without folder
    unsigned char line_length;          // characters of one lookup line: the record length
    int key1_offset;                    // 1-based position of the first key in a line
    int key1_length;
    int key2_offset;                    // 1-based; 0 (or below) means no second key
    int key2_length;                    // 0 (or below) means no second key
    int com_index;                      // 0 to 5: COM1 to COM6; -1: none selected
    int baud_index;                     // 0 to 4: 115200, 57600, 38400, 19200, 9600; -1: none
    int show_dialog;                    // 1: show the Properties dialog before the run
    int send_mode;                      // SEND_MODE_*: only SEND_MODE_AFTER_SUCCESS sends
};

extern settings_record settings;

// Derived from the program folder (the executable's path up to and including its last
// backslash) once at start-up; never changed afterwards.
extern char settings_path[PATH_BUFFER_SIZE]; // folder + "tabsync.ini"
extern char temp_base[PATH_BUFFER_SIZE];     // folder + "~tmpdbf" (the record store adds .db0..)
extern char db0_path[PATH_BUFFER_SIZE];      // folder + "DBF1.db0"
extern char db1_path[PATH_BUFFER_SIZE];      // folder + "DBF1.db1"
extern char db2_path[PATH_BUFFER_SIZE];      // folder + "DBF1.db2"

// The lookup file's full path, set by compose_lookup_path; the Properties dialog also uses it
// as the file chooser's result buffer.
extern char lookup_path[PATH_BUFFER_SIZE];

// The program's instance handle (a HINSTANCE), set by the entry point.
extern void *app_instance;

// The open lookup file: opened and closed by the run sequence, read by the conversion.
extern platform_file lookup_handle;

// 1 when both second-key settings are above 0: the conversion then builds index 2 and the job
// handles a third file. Both ask this one function.
int second_key_configured();

// Sets the defaults, derives the paths from the running program's own path and reads
// settings_path into settings. Returns 1; returns 0 after showing MSG_FOLDER_TOO_LONG when the
// program's path cannot be had or its folder is too long for the derived paths: the paths are
// then empty and the program must not go on.
int load_settings();

// load_settings for a program whose full path is program_path instead of the running one.
int load_settings_for(const char *program_path);

// How a settings file is read. Leniently, as kestrel.exe reads it: whatever the file holds,
// the lines up to the first that is not ended by CR LF are taken and the rest keep their
// defaults; a missing file only asks for the dialog. Strictly, for a program without a dialog:
// the file must have the shape save_settings writes (ten lines ended by CR LF, the numbers
// where numbers belong, one character on each of the last three lines, at most 1023 bytes).
enum settings_strictness { SETTINGS_LENIENT, SETTINGS_STRICT };

// Results of load_settings_file.
enum {
    SETTINGS_LOADED = 1,
    SETTINGS_NO_PATHS = 0,    // after MSG_FOLDER_TOO_LONG: the paths do not fit their buffers
    SETTINGS_UNREADABLE = -1, // strict only: the file cannot be opened
    SETTINGS_MALFORMED = -2   // strict only: not the shape above; settings_fault says why
};

// Why a strict read refused a file: "line 3 does not fit its place", and the like.
extern char settings_fault[96];

// load_settings_for with the settings read from settings_file itself: the paths derive from
// its folder, and it need not be called "tabsync.ini" (the console program's --settings).
// Returns a SETTINGS_ result; a strict read that refuses the file leaves the defaults.
int load_settings_file(const char *settings_file, settings_strictness strictness);

// Sets temp_base to WORK_SET_NAME in the folder of path (up to its last separator). Returns
// 1, or 0 when it does not fit (temp_base is then unchanged).
int set_temp_base(const char *path);

// Writes settings to settings_path, replacing the file. A file that cannot be created is
// silently not written.
void save_settings();

// lookup_path = folder, a separator unless folder is empty or already ends in one, lookup_name.
// The separator is a backslash, or a slash for a folder written with slashes alone. A path
// longer than the buffer leaves lookup_path empty.
void compose_lookup_path();

#endif
