// The scripted receiver: the raw serial calls of serial_port.h for tests.
#include "scripted_port.h"

#include "platform.h"
#include "recorded.h"
#include "serial_port.h"
#include "zmodem.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

scripted_port port;

void reset_port()
{
    port = scripted_port();
    port_handle = RAW_PORT_NONE;
}

static void queue(const std::string &label, const std::vector<unsigned char> &bytes, bool early)
{
    for (std::size_t i = 0; i < bytes.size(); i++) {
        port.script.push_back(bytes[i]);
        port.labels.push_back(i == 0 ? label : std::string());
        port.early.push_back(early);
    }
}

void script_reply(const std::string &label, const std::vector<unsigned char> &bytes)
{
    queue(label, bytes, false);
}

void script_early_reply(const std::string &label, const std::vector<unsigned char> &bytes)
{
    queue(label, bytes, true);
}

void script_silence(int reads)
{
    for (int i = 0; i < reads; i++) {
        port.script.push_back(-1);
        port.labels.push_back(std::string());
        port.early.push_back(false);
    }
}

raw_port raw_port_open(int com_index)
{
    port.opens++;
    port.open_index = com_index;
    return port.refuse_open ? RAW_PORT_NONE : 7;
}

int raw_port_setup(raw_port, std::uint32_t baud)
{
    port.baud = baud;
    return port.refuse_setup ? 0 : 1;
}

void raw_port_write(raw_port, const unsigned char *bytes, int count)
{
    port.written.insert(port.written.end(), bytes, bytes + count);
}

// One scripted byte per read, so that every silence in the script is one empty read.
int raw_port_read(raw_port, unsigned char *b, int, int, int *)
{
    port.reads++;
    if (port.reads == port.cancel_at_read)
        zmodem_request_cancel();
    if (port.next == port.script.size() || port.script[port.next] < 0) {
        if (port.next < port.script.size())
            port.next++;
        port.empty_reads++;
        return 0;
    }
    if (!port.labels[port.next].empty()) {
        port.events.push_back({port.written.size(), "< " + port.labels[port.next]});
        if (port.on_reply)
            port.on_reply(port.labels[port.next]);
    }
    *b = (unsigned char)port.script[port.next++];
    return 1;
}

// The scripted receiver answers what the sender has sent: nothing waits before a read but
// an early reply.
int raw_port_pending(raw_port)
{
    return port.next < port.script.size() && port.early[port.next] ? 1 : 0;
}

void raw_port_flush(raw_port)
{
    port.events.push_back({port.written.size(), "flush"});
}

void raw_port_close(raw_port)
{
    port.events.push_back({port.written.size(), "close"});
}

// Tells a death test what the user saw before the end: whether the cancel went out, and the
// last message box.
void platform_exit(int status)
{
    static const unsigned char cancel[19] = {24, 24, 24, 24, 24, 24, 24, 24, 8, 8,
                                             8,  8,  8,  8,  8,  8,  8,  8,  0};
    bool cancelled = port.written.size() >= 19 &&
                     std::equal(cancel, cancel + 19, port.written.end() - 19);
    std::fprintf(stderr, "%s", cancelled ? "cancel sent, then " : "no cancel, then ");
    if (message_call_count > 0)
        std::fprintf(stderr, "%s: %s\n", message_calls[message_call_count - 1].caption,
                     message_calls[message_call_count - 1].text);
    std::fflush(stderr);
    std::_Exit(status);
}
