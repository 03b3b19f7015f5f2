// The rack: the same batch to several ports at once, one child process per port. Each child
// is this program's "send" on its one port with --report, so the single-threaded sender and
// its process-wide state stay whole, and a port that fails (missing, refused, silent, gone)
// ends its own child alone. The children tell the parent what happens in report lines
// (console.h); the parent alone draws for a person: on a terminal one line per port redrawn
// in place, elsewhere plain lines, each beginning with its port. At the end one summary line
// per port: the message and the exit status a run on that port alone gives, and its time.
// State: ports, the children and what each has told so far.
#include "cli.h"
#include "console.h"
#include "interrupt.h"
#include "platform.h"
#include "process.h"
#include "progress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum {
    LINE_SIZE = 512,
    ARGS_MAX = 8 + 16,   // the program, its command and options, the files, the null
    SCREEN_MAX = 79,     // a terminal line longer than its window would break the redraw
    WAIT_STEP_MS = 500,
    ENDING_STEP_MS = 20,
    SILENT_LIMIT_S = 90, // a child that tells nothing for this long is stopped: the sender
                         // itself gives up after about forty seconds of silence
    STOP_GRACE_S = 10    // after an interrupt, what a child is given to cancel and end
};
const double REDRAW_EVERY_S = 0.2;
const double PLAIN_EVERY_S = 5.0;

struct rack_port {
    const char *name;
    child_process child;
    int running;
    int status;            // the child's exit status once it has ended
    char partial[LINE_SIZE];
    int partial_length;
    progress_view view;
    int in_phase;          // a phase has begun and no box has come since
    int phase_has_value;
    char box[LINE_SIZE];   // "Caption: text" of the last box
    char note[LINE_SIZE];  // the last other line
    char reason[LINE_SIZE]; // the line that followed the box, which tells why it came
    progress_clock::time_point start, end, heard, plain_shown;
};

rack_port ports[PORTS_MAX];
int port_count;
int name_width;
int terminal;
int drawn; // lines of the block drawn on the terminal

double seconds_between(progress_clock::time_point from, progress_clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

double seconds_since(progress_clock::time_point then)
{
    return seconds_between(then, progress_clock::now());
}

void print_tagged(const rack_port *port, const char *text)
{
    console_print("%-*s  %s\n", name_width, port->name, text);
}

void print_phase_line(rack_port *port)
{
    char line[LINE_SIZE];
    format_progress(line, sizeof line, &port->view, LINE_SIZE, 0);
    print_tagged(port, line);
    port->plain_shown = progress_clock::now();
}

// A phase or a box ends the phase before: without a terminal its last value is printed.
void end_phase(rack_port *port)
{
    if (port->in_phase && port->phase_has_value && !terminal)
        print_phase_line(port);
    port->in_phase = 0;
}

// A child's complaint without the program's name in front.
const char *without_program(const char *line)
{
    static const char program[] = "kestrel-cli: ";
    return std::strncmp(line, program, sizeof program - 1) == 0 ? line + sizeof program - 1
                                                                  : line;
}

void take_line(rack_port *port, char *line)
{
    port->heard = progress_clock::now();
    if (std::strncmp(line, REPORT_PHASE, sizeof REPORT_PHASE - 1) == 0) {
        end_phase(port);
        char *at = line + sizeof REPORT_PHASE - 1;
        port->view.unit = static_cast<int>(std::strtol(at, &at, 10));
        port->view.total = std::strtol(at, &at, 10);
        std::snprintf(port->view.label, sizeof port->view.label, "%s", *at ? at + 1 : at);
        port->view.value = 0;
        port->view.start = progress_clock::now();
        port->in_phase = 1;
        port->phase_has_value = 0;
    } else if (std::strncmp(line, REPORT_VALUE, sizeof REPORT_VALUE - 1) == 0) {
        port->view.value = std::strtol(line + sizeof REPORT_VALUE - 1, nullptr, 10);
        port->phase_has_value = 1;
        if (!terminal && port->in_phase && seconds_since(port->plain_shown) >= PLAIN_EVERY_S)
            print_phase_line(port);
    } else if (std::strncmp(line, REPORT_BOX, sizeof REPORT_BOX - 1) == 0) {
        end_phase(port);
        std::snprintf(port->box, sizeof port->box, "%s", line + sizeof REPORT_BOX - 1);
        port->reason[0] = '\0';
        if (!terminal)
            print_tagged(port, port->box);
    } else if (line[0] != '\0') {
        std::snprintf(port->note, sizeof port->note, "%s", line);
        if (port->box[0] && !port->reason[0])
            std::snprintf(port->reason, sizeof port->reason, "%s", without_program(line));
        if (!terminal)
            print_tagged(port, line);
    }
}

// What has arrived from the child, cut into lines. One read a wakeup: a child writes a few
// short lines a second.
void read_child(rack_port *port)
{
    char bytes[4096];
    const int got = child_read(&port->child, bytes, static_cast<int>(sizeof bytes));
    for (int i = 0; i < got; i++) {
        if (bytes[i] == '\n' || port->partial_length == LINE_SIZE - 1) {
            port->partial[port->partial_length] = '\0';
            if (port->partial_length > 0 && port->partial[port->partial_length - 1] == '\r')
                port->partial[port->partial_length - 1] = '\0';
            take_line(port, port->partial);
            port->partial_length = 0;
            if (bytes[i] == '\n')
                continue;
        }
        port->partial[port->partial_length++] = bytes[i];
    }
}

// The port's line of the block on the terminal.
int screen_line(const rack_port *port, char *line, int size)
{
    char what[LINE_SIZE];
    if (port->running && port->in_phase)
        format_progress(what, sizeof what, &port->view, LINE_SIZE, 0); // the whole label
    else
        std::snprintf(what, sizeof what, "%s",
                      port->box[0] ? port->box : port->note[0] ? port->note : "starting");
    int length = std::snprintf(line, static_cast<std::size_t>(size), "%-*s  %s", name_width,
                               port->name, what);
    if (length >= size)
        length = size - 1;
    // Cut to the screen, never inside a UTF-8 letter.
    if (length > SCREEN_MAX) {
        length = SCREEN_MAX;
        while (length > 0 && (static_cast<unsigned char>(line[length]) & 0xC0) == 0x80)
            length--;
    }
    return length;
}

void draw_block()
{
    static int widths[PORTS_MAX];
    if (drawn > 0)
        console_cursor_up(drawn);
    for (int i = 0; i < port_count; i++) {
        char line[LINE_SIZE];
        const int length = screen_line(&ports[i], line, static_cast<int>(sizeof line));
        console_write(line, length);
        // Blanks over what is left of a longer line drawn before.
        console_print("%*s\n", widths[i] > length ? widths[i] - length : 0, "");
        widths[i] = length;
    }
    drawn = port_count;
}

// Starts port i's child: this program's send on that port with --report.
int start_child(int i, const char *program, const char *rate, int files,
                const char *const *file_args)
{
    const char *argv[ARGS_MAX];
    int n = 0;
    argv[n++] = program;
    argv[n++] = "send";
    argv[n++] = "--report";
    argv[n++] = "--port";
    argv[n++] = ports[i].name;
    argv[n++] = "--baud";
    argv[n++] = rate;
    for (int f = 0; f < files && n < ARGS_MAX - 1; f++)
        argv[n++] = file_args[f];
    argv[n] = nullptr;
    ports[i].start = ports[i].heard = ports[i].plain_shown = progress_clock::now();
    ports[i].running = child_start(&ports[i].child, argv);
    if (!ports[i].running) {
        ports[i].status = CLI_USAGE;
        ports[i].end = ports[i].start;
        std::snprintf(ports[i].note, sizeof ports[i].note, "kestrel-cli: %.400s could not be started",
                      program);
    }
    return ports[i].running;
}

// Looks at every running child once: its lines, its end, its silence. A child's end is
// looked for once its pipe has closed (it holds the pipe for its whole life), or while
// children are being stopped. Returns how many run.
int look_at_children(int stopping)
{
    int running = 0;
    for (int i = 0; i < port_count; i++) {
        rack_port *port = &ports[i];
        if (!port->running)
            continue;
        read_child(port);
        int status = 0;
        if ((port->child.pipe < 0 || stopping) && child_ended(&port->child, &status)) {
            // What it wrote last: a pipe whose writer has ended gives its bytes, then its end.
            for (int k = 0; k < 64 && port->child.pipe >= 0; k++)
                read_child(port);
            port->running = 0;
            port->status = status;
            port->end = progress_clock::now();
            continue;
        }
        if (!stopping && seconds_since(port->heard) > SILENT_LIMIT_S) {
            std::snprintf(port->note, sizeof port->note,
                          "kestrel-cli: told nothing for %d s, stopped", SILENT_LIMIT_S);
            child_kill(&port->child);
        }
        running++;
    }
    return running;
}

// Waits for every child, passing an interrupt on to them all; each is given STOP_GRACE_S to
// cancel its transfer and end before it is ended at once.
void wait_for_children()
{
    int stopping = 0;
    progress_clock::time_point stop_asked;
    progress_clock::time_point shown = progress_clock::now();
    for (;;) {
        child_process waiting[PORTS_MAX];
        int ending = 0; // a child has closed its pipe and is about to end
        for (int i = 0; i < port_count; i++) {
            waiting[i] = ports[i].child;
            ending |= ports[i].running && ports[i].child.pipe < 0;
        }
        child_wait_any(waiting, port_count, ending ? ENDING_STEP_MS : WAIT_STEP_MS);
        const int running = look_at_children(stopping);
        if (running == 0)
            break;
        if (interrupt_status() != 0 && !stopping) {
            stopping = 1;
            stop_asked = progress_clock::now();
            for (int i = 0; i < port_count; i++) {
                if (ports[i].running)
                    child_interrupt(&ports[i].child);
            }
        } else if (stopping && seconds_since(stop_asked) > STOP_GRACE_S) {
            for (int i = 0; i < port_count; i++) {
                if (ports[i].running)
                    child_kill(&ports[i].child);
            }
        }
        if (terminal && seconds_since(shown) >= REDRAW_EVERY_S) {
            draw_block();
            shown = progress_clock::now();
        }
    }
}

// One line per port; on a terminal they take the place of the block.
void print_summary()
{
    if (terminal && drawn > 0)
        console_cursor_up(drawn);
    for (int i = 0; i < port_count; i++) {
        const rack_port *port = &ports[i];
        char took[16];
        format_duration(took, sizeof took,
                        static_cast<long>(seconds_between(port->start, port->end) + 0.5));
        char ended[32];
        std::snprintf(ended, sizeof ended, "ended with status %d", port->status);
        const char *what = port->box[0] ? port->box : port->note[0] ? port->note : ended;
        char line[2 * LINE_SIZE + 64];
        const int length = std::snprintf(line, sizeof line, "%-*s  %s%s%s (status %d, %s)",
                                          name_width, port->name, what,
                                          port->box[0] && port->reason[0] ? "; " : "",
                                          port->box[0] ? port->reason : "", port->status, took);
        const int cover = terminal && length < SCREEN_MAX ? SCREEN_MAX - length : 0;
        console_print("%s%*s\n", line, cover, "");
    }
}

} // namespace

int run_rack(const port_list *list, const char *rate, int files, const char *const *file_args)
{
    char program[1024];
    if (platform_program_path(program, sizeof program) == 0) {
        complain("cannot find this program's own path to start its children");
        return CLI_USAGE;
    }
    terminal = console_is_terminal();
    drawn = 0;
    port_count = list->count;
    name_width = 0;
    for (int i = 0; i < port_count; i++) {
        ports[i] = rack_port();
        ports[i].name = list->names[i];
        ports[i].child.pipe = -1;
        const int width = static_cast<int>(std::strlen(ports[i].name));
        name_width = width > name_width ? width : name_width;
    }
    for (int i = 0; i < port_count; i++)
        start_child(i, program, rate, files, file_args);
    wait_for_children();
    print_summary();
    if (interrupt_status() != 0)
        return interrupt_status();
    for (int i = 0; i < port_count; i++) {
        if (ports[i].status != CLI_OK)
            return CLI_RACK;
    }
    return CLI_OK;
}
