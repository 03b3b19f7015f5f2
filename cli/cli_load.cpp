// kestrel-cli load: the whole job of kestrel.exe from its settings file, without the dialog
// and without boxes. The working files (~tmpdbf.db0.., DBF1.db0..) lie beside the settings
// file, as kestrel.exe's lie beside the program; the steps are the job's own (convert_job.h).
// To several ports the set is converted once and sent by a rack (cli_rack.cpp).
#include "cli.h"
#include "console.h"
#include "convert_job.h"
#include "interrupt.h"
#include "line_table.h"
#include "message_box.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "settings.h"

#include <cstdio>
#include <cstring>

namespace {

void print_help()
{
    std::printf(
        "Usage: kestrel-cli load [--settings FILE] [--port PORT[,PORT...]] [--baud RATE]\n"
        "\n"
        "Does what kestrel.exe does with its settings file, with no dialog and no boxes: opens\n"
        "the lookup file, converts it, sends dbf1.db0, dbf1.db1 (and dbf1.db2) to the terminal\n"
        "and deletes them again. FILE is a settings file as kestrel.exe writes it (ten lines\n"
        "ended by CR LF), tabsync.ini in the current folder by default; the working files are\n"
        "made in FILE's folder. --port and --baud take the place of the file's port and rate.\n"
        "The settings are checked before any work: a file that names no port or no rate (with\n"
        "no --port or --baud in their place), a line length of 0 or a key outside the line\n"
        "ends the run at once with status 2.\n"
        "%s\n"
        "RATE is 115200, 57600, 38400, 19200 or 9600 bit/s.\n"
        "\n"
        "Several ports (--port repeated, or separated by commas; at most %d) make a rack: the\n"
        "table is converted once and sent to every port at once, each by a process of its own,\n"
        "with one progress line per port and a summary line per port at the end (the message\n"
        "and exit status a run on that port alone would give, and its time). The working files\n"
        "go when the last terminal is done.\n"
        "\n"
        "Exit status: 0 sent, 1 the terminal did not answer or the line went away, 2 bad\n"
        "usage or FILE is not a settings file, 3 FILE or the lookup file cannot be read, 4 the\n"
        "conversion failed, 5 the port cannot be opened, 6 the terminal refused or the transfer\n"
        "failed, 7 several ports and at least one terminal did not get the files, 8 another run\n"
        "is using the working files of FILE's folder (it holds ~tmpdbf.lck there), 130 or 143\n"
        "interrupted (the terminals are told to cancel, the working files are removed).\n",
        PORT_HELP, PORTS_MAX);
}

struct load_request {
    const char *settings_file;
    port_list ports;
    const char *rate;
};

load_request request;

// 1 with the request, 0 after the help, -1 after a message.
int parse_request(int count, char **args)
{
    request.settings_file = "tabsync.ini";
    request.ports.count = request.ports.used = 0;
    request.rate = nullptr;
    for (int at = 0; at < count;) {
        if (is_help(args[at])) {
            print_help();
            return 0;
        }
        const char *port = nullptr;
        int taken = take_option(count, args, &at, "--settings", &request.settings_file);
        if (taken == 0 && (taken = take_option(count, args, &at, "--port", &port)) > 0 &&
            !add_ports(&request.ports, port))
            return -1;
        if (taken == 0)
            taken = take_option(count, args, &at, "--baud", &request.rate);
        if (taken < 0)
            return -1;
        if (taken == 0) {
            complain("load: unexpected argument %s (see kestrel-cli load --help)", args[at]);
            return -1;
        }
    }
    return 1;
}

// 1 when key (1-based offset, length) lies within a line of line characters.
int key_fits(int offset, int length, int line)
{
    return offset >= 1 && length >= 1 && offset - 1 <= line - length;
}

// The settings that would fail the run later, found before any work. CLI_OK, or CLI_USAGE
// after a message.
int check_job_settings()
{
    const int line = settings.line_length;
    if (!request.ports.count && (settings.com_index < 0 || settings.com_index >= COM_PORT_COUNT))
        complain("%s names no port (line 8), and no --port stands in", settings_path);
    else if (!request.rate && (settings.baud_index < 0 || settings.baud_index >= LINE_RATE_COUNT))
        complain("%s names no rate (line 9), and no --baud stands in", settings_path);
    else if (line == 0)
        complain("the settings give a line length of 0");
    else if (!key_fits(settings.key1_offset, settings.key1_length, line))
        complain("key 1 (%d:%d) lies outside a line of %d characters", settings.key1_offset,
                 settings.key1_length, line);
    else if (second_key_configured() &&
             !key_fits(settings.key2_offset, settings.key2_length, line))
        complain("key 2 (%d:%d) lies outside a line of %d characters", settings.key2_offset,
                 settings.key2_length, line);
    else
        return CLI_OK;
    return CLI_USAGE;
}

// Reads the settings file strictly, puts --port and --baud in place of its port and rate, and
// checks what the job needs. CLI_OK, or the status after a message.
int take_settings()
{
    int baud_index = request.rate ? parse_rate(request.rate) : 0;
    if (baud_index < 0)
        return CLI_USAGE;
    for (int i = 0; i < request.ports.count; i++) {
        if (choose_port(request.ports.names[i]) < 0)
            return CLI_USAGE;
    }
    // The one port of a run in this process is chosen last, so that it is the one set up.
    const int com_index = request.ports.count > 0 ? choose_port(request.ports.names[0]) : 0;
    const int read = load_settings_file(request.settings_file, SETTINGS_STRICT);
    if (read == SETTINGS_UNREADABLE) {
        complain("cannot read the settings file %s", request.settings_file);
        return CLI_UNREADABLE;
    }
    if (read == SETTINGS_MALFORMED)
        complain("%s is not a settings file: %s", request.settings_file, settings_fault);
    if (read != SETTINGS_LOADED)
        return CLI_USAGE;
    if (request.ports.count > 0)
        settings.com_index = com_index;
    if (request.rate)
        settings.baud_index = baud_index;
    return check_job_settings();
}

// The final set sent to every port of the rack, each file as FILE=NAME.
int send_to_rack(int files)
{
    static char file_args[SET_FILES_MAX][PATH_BUFFER_SIZE + 16];
    const char *args[SET_FILES_MAX];
    for (int i = 0; i < files; i++) {
        std::snprintf(file_args[i], sizeof file_args[i], "%s=%s", final_paths[i], send_name(i));
        args[i] = file_args[i];
    }
    wait_before_send();
    if (interrupt_status() != 0)
        return interrupt_status();
    return run_rack(&request.ports, request.rate ? request.rate
                                                 : LINE_RATE_NAMES[settings.baud_index],
                    files, args);
}

// The set to the one port, in this process.
int send_here(int files)
{
    send_outcome outcome;
    remove_at_timeout(final_paths, files);
    send_set(final_paths, files, &outcome);
    remove_at_timeout(nullptr, 0);
    const int status = send_status(&outcome);
    if (outcome.kind == SEND_CANCELLED)
        complain("interrupted: the terminal was told to cancel");
    if (outcome.kind != SEND_NO_PORT)
        return status;
    const char *port = request.ports.count > 0 ? request.ports.names[0] : nullptr;
    if (port)
        complain("the port was %s%s", port, port_reason(port));
    else
        complain("the settings file names COM%d", settings.com_index + 1);
    return status;
}

// The last step: the final set and whatever is left under the working names go, and a file
// that stays is named with the reason.
void remove_files(int files)
{
    if (remove_set(final_paths, files) >= 0)
        complain_set_fault();
    if (remove_set(working_set(), SET_FILES_MAX) >= 0)
        complain_set_fault();
}

// The job's steps in kestrel.exe's order: convert, hand over, send, remove. The set goes only
// after a successful conversion and hand-over and when no interrupt came; it is removed in
// every case.
int run_job()
{
    compose_lookup_path();
    if (!open_lookup(lookup_path))
        return CLI_UNREADABLE;
    show_progress(PROGRESS_OPEN, 0);
    const int converted = convert_into_working_set();
    const int files = set_file_count();
    const int handed_over = hand_over_set(final_paths, files) < 0;
    if (converted && !handed_over)
        complain_set_fault();
    int status = CLI_CONVERSION;
    if (converted && handed_over && interrupt_status() == 0)
        status = request.ports.count > 1 ? send_to_rack(files) : send_here(files);
    if (!converted) {
        message_box(OWNER_ACTIVE, MSG_CONVERSION_FAILED, MSG_CAPTION_ERROR,
                    MSGBOX_ICON_EXCLAMATION | MSGBOX_OK);
        show_progress(PROGRESS_CLOSE, 0);
        explain_stopped_conversion();
    }
    remove_files(files);
    close_lookup();
    if (interrupt_status() == 0)
        return status;
    complain("interrupted: the working files are removed");
    return interrupt_status();
}

} // namespace

int run_load(int count, char **args)
{
    const int parsed = parse_request(count, args);
    if (parsed <= 0)
        return parsed == 0 ? CLI_OK : CLI_USAGE;
    int status = take_settings();
    if (status == CLI_OK)
        status = hold_folder();
    if (status != CLI_OK)
        return status;
    catch_interrupts();
    status = run_job();
    release_folder();
    return status;
}
