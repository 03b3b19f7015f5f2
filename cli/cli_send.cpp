// kestrel-cli send: the batch send of kestrel.exe for files of the user's choosing, each
// announced to the terminal by its own name or one given after '='. To several ports it is a
// rack (cli_rack.cpp), whose children are this command on one port with --report.
#include "cli.h"
#include "console.h"
#include "interrupt.h"
#include "line_table.h"
#include "zmodem.h"

#include <cstdio>
#include <cstring>

namespace {

enum {
    FILES_MAX = 16,
    NAME_SIZE = 256 // the sender's name buffer: the longest name it carries is 255 bytes
};

char names[FILES_MAX][NAME_SIZE];
const char *paths[FILES_MAX];
// The paths of arguments that were split at '=', cut there.
char split_paths[FILES_MAX][1024];

void print_help()
{
    std::printf(
        "Usage: kestrel-cli send --port PORT[,PORT...] [--baud RATE] FILE[=NAME]...\n"
        "\n"
        "Sends the files to the terminal in one ZMODEM batch, as kestrel.exe sends its record\n"
        "files, each announced by NAME: by default the file's own name without its folder.\n"
        "NAME follows the last '=' of the argument, unless the whole argument names a file.\n"
        "A NAME is 1 to 255 bytes; at most %d files.\n"
        "%s\n"
        "RATE is 115200 (the default), 57600, 38400, 19200 or 9600 bit/s.\n"
        "\n"
        "Several ports (--port repeated, or separated by commas; at most %d) are served at once,\n"
        "each by a process of its own: one progress line per port, and a summary line per port\n"
        "at the end with what a run on that port alone would say and its exit status.\n"
        "\n"
        "Exit status: 0 sent, 1 the terminal did not answer or the line went away, 2 bad\n"
        "usage, 3 a FILE cannot be read, 5 the port cannot be opened, 6 the terminal refused or\n"
        "the transfer failed, 7 several ports and at least one terminal did not get the files,\n"
        "130 or 143 interrupted (the terminals are told to cancel).\n",
        FILES_MAX, PORT_HELP, PORTS_MAX);
}

// The file's own name: what follows its last folder separator.
const char *base_name(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p != '\0'; p++) {
        if (*p == '/' || *p == '\\')
            name = p + 1;
    }
    return name;
}

// Fills paths[i] and names[i] from FILE[=NAME]. CLI_OK, or the status after a message.
int take_file(int i, const char *arg)
{
    paths[i] = arg;
    const char *name = base_name(arg);
    const char *equals = std::strrchr(arg, '=');
    if (equals && !is_readable(arg)) {
        const std::size_t length = static_cast<std::size_t>(equals - arg);
        if (length >= sizeof split_paths[i]) {
            complain("%s: the path is too long", arg);
            return CLI_USAGE;
        }
        std::memcpy(split_paths[i], arg, length);
        split_paths[i][length] = '\0';
        paths[i] = split_paths[i];
        name = equals + 1;
    }
    const std::size_t name_length = std::strlen(name);
    if (name_length == 0 || name_length >= NAME_SIZE) {
        complain("%s: the name announced must be 1 to %d bytes", arg, NAME_SIZE - 1);
        return CLI_USAGE;
    }
    if (!check_readable(paths[i], "send"))
        return CLI_UNREADABLE;
    std::memcpy(names[i], name, name_length + 1);
    return CLI_OK;
}

struct send_request {
    port_list ports;
    const char *rate;
    int files;
    const char *file_args[FILES_MAX];
    int report; // a rack's child: report lines for the parent
};

send_request request;

// One argument into the request: 1 taken, 0 after the help, -1 after a message, or the
// status of a FILE that cannot be taken (as its negative, below -1).
int take_argument(int count, char **args, int *at)
{
    const char *port = nullptr;
    int taken = take_option(count, args, at, "--port", &port);
    if (taken > 0)
        return add_ports(&request.ports, port) ? 1 : -1;
    if (taken == 0)
        taken = take_option(count, args, at, "--baud", &request.rate);
    if (taken != 0)
        return taken;
    if (std::strcmp(args[*at], "--report") == 0) {
        request.report = 1;
        *at += 1;
        return 1;
    }
    if (args[*at][0] == '-' && args[*at][1] == '-') {
        complain("send: unknown option %s (see kestrel-cli send --help)", args[*at]);
        return -1;
    }
    if (request.files == FILES_MAX) {
        complain("send: at most %d files in one batch", FILES_MAX);
        return -1;
    }
    request.file_args[request.files] = args[*at];
    const int status = take_file(request.files, args[(*at)++]);
    if (status != CLI_OK)
        return -status;
    request.files++;
    return 1;
}

// The batch to the one port of the request, in this process.
int send_to_one_port(int baud_index)
{
    const char *port = request.ports.names[0];
    const int com_index = choose_port(port);
    if (com_index < 0)
        return CLI_USAGE;
    send_outcome outcome;
    zmodem_send_files(request.files, paths, names, static_cast<unsigned char>(com_index),
                      static_cast<unsigned char>(baud_index), &outcome);
    if (outcome.kind == SEND_NO_PORT && !request.report)
        complain("the port was %s%s", port, port_reason(port));
    if (outcome.kind == SEND_CANCELLED)
        complain("interrupted: the terminal was told to cancel");
    return send_status(&outcome);
}

} // namespace

int run_send(int count, char **args)
{
    request.ports.count = request.ports.used = 0;
    request.rate = LINE_RATE_NAMES[0];
    request.files = 0;
    request.report = 0;
    for (int at = 0; at < count;) {
        if (is_help(args[at])) {
            print_help();
            return CLI_OK;
        }
        const int taken = take_argument(count, args, &at);
        if (taken < -1)
            return -taken;
        if (taken < 0)
            return CLI_USAGE;
    }
    if (request.ports.count == 0 || request.files == 0) {
        complain("send needs --port and at least one FILE (see kestrel-cli send --help)");
        return CLI_USAGE;
    }
    const int baud_index = parse_rate(request.rate);
    if (baud_index < 0)
        return CLI_USAGE;
    if (request.report)
        console_report_mode();
    catch_interrupts();
    if (request.ports.count == 1)
        return send_to_one_port(baud_index);
    // Every port is checked before any child starts, so that a misspelt one stops the rack.
    for (int i = 0; i < request.ports.count; i++) {
        if (choose_port(request.ports.names[i]) < 0)
            return CLI_USAGE;
    }
    return run_rack(&request.ports, request.rate, request.files, request.file_args);
}
