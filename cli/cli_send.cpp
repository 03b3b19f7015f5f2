// kestrel-cli send: the batch send of kestrel.exe for files of the user's choosing, each
// announced to the terminal by its own name or one given after '='.
#include "cli.h"
#include "console.h"
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
        "Usage: kestrel-cli send --port PORT [--baud RATE] FILE[=NAME]...\n"
        "\n"
        "Sends the files to the terminal in one ZMODEM batch, as kestrel.exe sends its record\n"
        "files, each announced by NAME: by default the file's own name without its folder.\n"
        "NAME follows the last '=' of the argument, unless the whole argument names a file.\n"
        "A NAME is 1 to 255 bytes; at most %d files.\n"
        "%s\n"
        "RATE is 115200 (the default), 57600, 38400, 19200 or 9600 bit/s.\n"
        "\n"
        "Exit status: 0 sent, 1 the terminal did not answer, 2 bad usage, 3 a FILE cannot be\n"
        "read, 5 the port cannot be opened, 6 the terminal refused or the transfer failed.\n",
        FILES_MAX, PORT_HELP);
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

} // namespace

int run_send(int count, char **args)
{
    const char *port = nullptr;
    const char *rate = "115200";
    int files = 0;
    for (int at = 0; at < count;) {
        if (is_help(args[at])) {
            print_help();
            return CLI_OK;
        }
        int taken = take_option(count, args, &at, "--port", &port);
        if (taken == 0)
            taken = take_option(count, args, &at, "--baud", &rate);
        if (taken < 0)
            return CLI_USAGE;
        if (taken > 0)
            continue;
        if (args[at][0] == '-' && args[at][1] == '-') {
            complain("send: unknown option %s (see kestrel-cli send --help)", args[at]);
            return CLI_USAGE;
        }
        if (files == FILES_MAX) {
            complain("send: at most %d files in one batch", FILES_MAX);
            return CLI_USAGE;
        }
        const int status = take_file(files, args[at++]);
        if (status != CLI_OK)
            return status;
        files++;
    }
    if (!port || files == 0) {
        complain("send needs --port and at least one FILE (see kestrel-cli send --help)");
        return CLI_USAGE;
    }
    const int baud_index = parse_rate(rate);
    const int com_index = baud_index < 0 ? -1 : choose_port(port);
    if (com_index < 0)
        return CLI_USAGE;
    const int sent = zmodem_send_files(files, paths, names, static_cast<unsigned char>(com_index),
                                       static_cast<unsigned char>(baud_index));
    if (sent == files)
        return CLI_OK;
    const int status = transfer_status();
    if (status == CLI_PORT)
        complain("the port was %s", port);
    return status;
}
