// kestrel-cli load: the whole job of kestrel.exe from its settings file, without the dialog
// and without boxes. The working files (~tmpdbf.db0.., DBF1.db0..) lie beside the settings
// file, as kestrel.exe's lie beside the program; the job is kestrel.exe's own.
#include "cli.h"
#include "console.h"
#include "convert_job.h"
#include "message_box.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum { SETTINGS_MAX = 1023 }; // the longest settings file kestrel.exe reads whole

char file_text[SETTINGS_MAX + 2];

void print_help()
{
    std::printf(
        "Usage: kestrel-cli load [--settings FILE] [--port PORT] [--baud RATE]\n"
        "\n"
        "Does what kestrel.exe does with its settings file, with no dialog and no boxes: opens\n"
        "the lookup file, converts it, sends dbf1.db0, dbf1.db1 (and dbf1.db2) to the terminal\n"
        "and deletes them again. FILE is a settings file as kestrel.exe writes it (ten lines\n"
        "ended by CR LF), tabsync.ini in the current folder by default; the working files are\n"
        "made in FILE's folder. --port and --baud take the place of the file's port and rate.\n"
        "%s\n"
        "RATE is 115200, 57600, 38400, 19200 or 9600 bit/s.\n"
        "\n"
        "Exit status: 0 sent, 1 the terminal did not answer, 2 bad usage or FILE is not a\n"
        "settings file, 3 FILE or the lookup file cannot be read, 4 the conversion failed,\n"
        "5 the port cannot be opened, 6 the terminal refused or the transfer failed.\n",
        PORT_HELP);
}

// 1 when text is a decimal number, with a leading minus sign where negative is allowed.
int is_decimal(const char *text, std::size_t length, int negative_allowed)
{
    std::size_t at = negative_allowed && length > 0 && text[0] == '-' ? 1 : 0;
    if (at == length)
        return 0;
    for (; at < length; at++) {
        if (text[at] < '0' || text[at] > '9')
            return 0;
    }
    return 1;
}

// Whether one line's text fits its place (1 to 10) in a settings file.
int line_fits(int line, const char *text, std::size_t length)
{
    if (line <= 2)
        return 1;
    if (line == 3)
        return is_decimal(text, length, 0) && length <= 3 && std::atoi(text) <= 255;
    if (line <= 7)
        return is_decimal(text, length, 1) && length <= 11;
    if (line <= 9)
        return length == 1;
    return length == 1 && (text[0] == '0' || text[0] == '1');
}

// 1 when the text has the shape kestrel.exe writes: ten lines, each ended by CR LF, the
// numbers where numbers belong, one character on each of the last three lines. Otherwise 0
// after a message that names the first line that does not fit.
int check_settings_text(const char *path, const char *text, std::size_t length)
{
    if (length > SETTINGS_MAX) {
        complain("%s is not a settings file: longer than %d bytes", path, SETTINGS_MAX);
        return 0;
    }
    std::size_t start = 0;
    for (int line = 1; line <= 10; line++) {
        const char *cr = static_cast<const char *>(std::memchr(text + start, '\r', length - start));
        if (!cr || static_cast<std::size_t>(cr - text) + 1 >= length || cr[1] != '\n') {
            complain("%s is not a settings file: line %d does not end in CR LF", path, line);
            return 0;
        }
        const std::size_t end = static_cast<std::size_t>(cr - text);
        if (!line_fits(line, text + start, end - start)) {
            complain("%s is not a settings file: line %d does not fit its place", path, line);
            return 0;
        }
        start = end + 2;
    }
    if (start != length) {
        complain("%s is not a settings file: more than ten lines", path);
        return 0;
    }
    return 1;
}

// Reads the settings file and checks its shape. CLI_OK, or the status after a message.
int check_settings_file(const char *path)
{
    platform_file file = platform_open_read(path);
    if (file == PLATFORM_FILE_INVALID) {
        complain("cannot read the settings file %s", path);
        return CLI_UNREADABLE;
    }
    std::size_t length = 0;
    int got;
    while (length < sizeof file_text - 1 &&
           (got = platform_read(file, file_text + length,
                                static_cast<int>(sizeof file_text - 1 - length))) > 0)
        length += static_cast<std::size_t>(got);
    platform_close(file);
    file_text[length] = '\0';
    return check_settings_text(path, file_text, length) ? CLI_OK : CLI_USAGE;
}

// After "Conversion of lookup file failed!": the settings that explain it, where they do.
void explain_failed_conversion()
{
    const int line = settings.line_length;
    if (line == 0) {
        complain("the settings give a line length of 0");
    } else if (settings.key1_offset < 1 || settings.key1_length < 1 ||
               settings.key1_offset - 1 > line - settings.key1_length) {
        complain("key 1 (%d:%d) lies outside a line of %d characters", settings.key1_offset,
                 settings.key1_length, line);
    } else if (second_key_configured() && settings.key2_offset - 1 > line - settings.key2_length) {
        complain("key 2 (%d:%d) lies outside a line of %d characters", settings.key2_offset,
                 settings.key2_length, line);
    }
}

// After "Can't open COM port.": which port that was.
void explain_port(const char *port)
{
    if (port)
        complain("the port was %s", port);
    else if (settings.com_index >= 0 && settings.com_index <= 5 && settings.baud_index >= 0 &&
             settings.baud_index <= 4)
        complain("the settings file names COM%d", settings.com_index + 1);
    else
        complain("the settings file names no port or no rate (lines 8 and 9)");
}

struct load_request {
    const char *settings_file;
    const char *port;
    const char *rate;
};

// 1 with the request, 0 after the help, -1 after a message.
int parse_request(int count, char **args, load_request *request)
{
    *request = load_request{"tabsync.ini", nullptr, nullptr};
    for (int at = 0; at < count;) {
        if (is_help(args[at])) {
            print_help();
            return 0;
        }
        int taken = take_option(count, args, &at, "--settings", &request->settings_file);
        if (taken == 0)
            taken = take_option(count, args, &at, "--port", &request->port);
        if (taken == 0)
            taken = take_option(count, args, &at, "--baud", &request->rate);
        if (taken < 0)
            return -1;
        if (taken == 0) {
            complain("load: unexpected argument %s (see kestrel-cli load --help)", args[at]);
            return -1;
        }
    }
    return 1;
}

// The job itself, as the run sequence of kestrel.exe runs it once the settings are read.
int run_job()
{
    compose_lookup_path();
    if (!open_lookup(lookup_path))
        return CLI_UNREADABLE;
    show_progress(PROGRESS_OPEN, 0);
    const int converted = convert_and_send();
    if (converted == 0) {
        message_box(OWNER_ACTIVE, MSG_CONVERSION_FAILED, MSG_CAPTION_ERROR,
                    MSGBOX_ICON_EXCLAMATION | MSGBOX_OK);
        show_progress(PROGRESS_CLOSE, 0);
        explain_failed_conversion();
    }
    close_lookup();
    if (converted == 0)
        return CLI_CONVERSION;
    return transfer_status();
}

} // namespace

int run_load(int count, char **args)
{
    load_request request;
    const int parsed = parse_request(count, args, &request);
    if (parsed <= 0)
        return parsed == 0 ? CLI_OK : CLI_USAGE;
    const int baud_index = request.rate ? parse_rate(request.rate) : 0;
    const int com_index = request.port && baud_index >= 0 ? choose_port(request.port) : 0;
    if (baud_index < 0 || com_index < 0)
        return CLI_USAGE;

    const int status = check_settings_file(request.settings_file);
    if (status != CLI_OK)
        return status;
    if (!load_settings_file(request.settings_file))
        return CLI_USAGE;
    if (request.port)
        settings.com_index = com_index;
    if (request.rate)
        settings.baud_index = baud_index;
    const int result = run_job();
    if (result == CLI_PORT)
        explain_port(request.port);
    return result;
}
