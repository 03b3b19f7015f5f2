// A scripted receiver behind the raw serial seam (serial_port.h): what the sender writes is
// kept in order, reads are served from a script of bytes and silences, and the moments at
// which the sender flushes, closes, and starts reading each reply are noted by offset in
// what it had written by then.
#ifndef KESTREL_TEST_SCRIPTED_PORT_H
#define KESTREL_TEST_SCRIPTED_PORT_H

#include <cstdint>
#include <string>
#include <vector>

struct port_event {
    std::size_t at;      // bytes written before it
    std::string what;    // "flush", "close", or "< " and the reply's label
};

struct scripted_port {
    std::vector<unsigned char> written;
    std::vector<port_event> events;
    int opens = 0;
    int open_index = -1;          // com index asked for
    std::uint32_t baud = 0;       // rate set up
    bool refuse_open = false;
    bool refuse_setup = false;
    int reads = 0;                // raw read calls
    int empty_reads = 0;
    // script: byte values, or -1 for one read that finds nothing
    std::vector<int> script;
    std::vector<std::string> labels; // label of the reply that starts at script[i], or ""
    std::vector<char> early;         // script[i] has arrived before the sender looks
    std::size_t next = 0;
    int cancel_at_read = -1;      // the raw read (counted from 1) during which the send is
                                  // asked to cancel, as an interrupt would ask it
    // Called as the sender starts reading a labelled reply (a receiver's side effects).
    void (*on_reply)(const std::string &label) = nullptr;
};

extern scripted_port port;

// Forgets everything: no script, nothing written, no port open (port_handle too).
void reset_port();
// Queues a reply; label names it in transcripts.
void script_reply(const std::string &label, const std::vector<unsigned char> &bytes);
// Queues a reply that has already arrived when the sender looks (raw_port_pending sees it):
// what a receiver said while the sender was still sending.
void script_early_reply(const std::string &label, const std::vector<unsigned char> &bytes);
// Queues reads that find nothing.
void script_silence(int reads);

#endif
