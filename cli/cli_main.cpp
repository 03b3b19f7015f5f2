// kestrel-cli's entry: the program's help and version, and the choice of the command.
#include "cli.h"

#include <cstdio>
#include <cstring>

namespace {

void print_help()
{
    std::printf(
        "kestrel-cli %s: loads a lookup table onto a handheld terminal, as kestrel.exe does,\n"
        "from scripts and scheduled tasks: no dialog, no boxes.\n"
        "\n"
        "Usage:\n"
        "  kestrel-cli convert LOOKUP --line-length N --key1 POS:LEN [--key2 POS:LEN]\n"
        "                      [--out BASE]\n"
        "  kestrel-cli send --port PORT[,PORT...] [--baud RATE] FILE[=NAME]...\n"
        "  kestrel-cli load [--settings FILE] [--port PORT[,PORT...]] [--baud RATE]\n"
        "  kestrel-cli COMMAND --help\n"
        "  kestrel-cli --version\n"
        "\n"
        "Commands:\n"
        "  convert  converts a lookup file into BASE.db0, BASE.db1 (and BASE.db2)\n"
        "  send     sends files to the terminal in one ZMODEM batch\n"
        "  load     kestrel.exe's whole job from its settings file: convert, send, clean up\n"
        "\n"
        "Progress and every message go to standard error. Several ports are served at once,\n"
        "each by a process of its own, with a summary line per port at the end.\n"
        "\n"
        "Exit status:\n"
        "  0  done\n"
        "  1  the terminal did not answer (about 40 seconds of silence), or the line went away\n"
        "  2  bad usage: an unknown command or option, a bad value, a key outside the line,\n"
        "     a settings file that is not one\n"
        "  3  a file cannot be read: the lookup file, the settings file or a file to send\n"
        "  4  the conversion failed\n"
        "  5  the port cannot be opened\n"
        "  6  the terminal refused the transfer, or it failed\n"
        "  7  several ports: at least one terminal did not get the files\n"
        "  8  another run is using the working files of the same folder\n"
        "  130, 143  interrupted (SIGINT or Ctrl-C; SIGTERM or the window closed): the\n"
        "     terminals are told to cancel and the working files are removed\n",
        KESTREL_VERSION);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        complain("a command is needed (see kestrel-cli --help)");
        return CLI_USAGE;
    }
    const char *command = argv[1];
    if (is_help(command)) {
        print_help();
        return CLI_OK;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("%s\n", KESTREL_VERSION);
        return CLI_OK;
    }
    if (std::strcmp(command, "convert") == 0)
        return run_convert(argc - 2, argv + 2);
    if (std::strcmp(command, "send") == 0)
        return run_send(argc - 2, argv + 2);
    if (std::strcmp(command, "load") == 0)
        return run_load(argc - 2, argv + 2);
    complain("unknown command %s (see kestrel-cli --help)", command);
    return CLI_USAGE;
}
