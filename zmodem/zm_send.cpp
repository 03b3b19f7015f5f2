// The ZMODEM batch send: zmodem_send_files, the whole protocol logic of the sender. Its state
// lasts one call, set afresh at the start of each: the subpacket length it has come to
// (subpacket_step, answered_in_row) and the ZACKs still owed (late_acks, late_ack_offset, set
// afresh for each file); failure_text and failure_kind (what a failed send showed) tell how
// the last call ended, and cancel_request (serial_port.cpp) asks the call under way to stop.
// It reads rx_type and rx_pos (zm_receive.cpp) and fills the Progress box's status_text once
// per file.
//
// One file of 1500 bytes on the line (S sender, R receiver):
//
//   S  "rz" CR, ZRQINIT (hex)
//   R  ZRINIT
//   S  ZFILE, [name NUL size NUL] ZCRCW
//   R  ZRPOS 0
//   S  ZDATA 0, [bytes 0..1000] ZCRCW                  (flushed before the frame end)
//   R  ZACK                                            (anything but ZRPOS means go on)
//   S  ZDATA 1001, [bytes 1001..1499] ZCRCE, ZEOF 1500
//   R  ZRINIT
//   S  ZFIN
//   R  ZFIN
//   S  "OO"
//
// Stop and wait: at most one subpacket is ever unanswered, with 1001 file bytes each while the
// line is good; the receiver's buffer size and capability flags are not looked at.
//
// On a bad line shorter subpackets get through where long ones do not (at a bit error rate of
// 1e-4 one of 1001 bytes is hit more than half the time, at 3e-4 nineteen times in twenty).
// The rule: each lost subpacket (answered by a ZRPOS, by a damaged header, or not at all)
// makes the next ones a step shorter, 1001, 512, 256, 128, 64, 32 bytes; four answered in a
// row make them a step longer again, back to 1001. While they are shorter than 1001 an
// answer that has not come within the time the frame takes on the line and a quarter second
// more is taken for lost at once, instead of after the four-second receive time-out. So on a
// good line nothing changes, byte for byte. Chosen by measurement (60 KB at 115200 bit/s to
// rz, three runs each, the time over the clean line's): growing after 4 answered gave 1.6x at
// 1e-4 and 2.6x at 3e-4, after 2 gave 1.8x and 2.7x, after 8 1.7x and 3.4x; with the
// four-second wait for every answer, and 1001 bytes throughout, 2.9x and about 18x.
//
// Habits of real receivers this copes with:
// - A receiver sends ZRINIT when it starts and again for every ZRQINIT it reads. One that was
//   already listening when the port opened has its first ZRINIT waiting in the line, answers
//   "rz" CR ZRQINIT with a second one, and answers ZFILE only after that: up to ten ZRINIT are
//   skipped while the answer to ZFILE is awaited.
// - Hex headers come with lower-case digits and end in CR, 0x8A (LF with the high bit set)
//   and XON; the header search skips whatever precedes the next lead-in.
// - After its ZFIN a receiver waits for "OO" and gives up on it after some seconds; the sender
//   drains the port before closing it, so "OO" is on the line when the port goes.
// - On a noisy line a receiver answers a damaged subpacket with ZRPOS at its end. One that
//   rejects a damaged header asks at once and asks again when it meets the end of that
//   frame; one that gets ZDATA at an offset it did not ask for does the same. A damaged offer
//   draws ZNAK or ZRINIT. One that never saw a frame end waits for more data and says nothing
//   until its own time-out, ten or twenty seconds later. It answers ZEOF with ZRINIT only
//   when it has the whole file, and ignores a ZEOF at any other offset.
// - A receiver that gives up sends its cancel, CAN eight or ten times and then backspaces:
//   the transfer fails at once ("Transfer error...") instead of waiting for an answer.
//
// A file is read as it is sent, and must end exactly at the size announced in ZFILE: one that
// grew or shrank meanwhile fails the transfer rather than reach the receiver changed.
//
// Every wait counts what it hears by one rule: the first answer and up to WAIT_LIMIT more.
// Within a file three answers mean that the receiver lacks data: a ZRPOS (from its offset), a
// header whose CRC failed (its type and offset are noise, so neither is used) and a read that
// hears nothing for the four-second receive time-out (a receiver answers within milliseconds,
// so the frame or its answer was lost). The sender then goes back, to the ZRPOS's offset or to
// where the unanswered data began, and sends ZDATA with an empty ZCRCW subpacket, as after any
// ZRPOS, so that the receiver confirms the offset before the data follow. The offer and ZFIN
// are sent again on a lost answer in the same way. The receiver checks every offset, so going
// back too far costs a round trip, never a byte of the file; and a success needs the
// receiver's own ZRINIT after ZEOF and ZFIN after ZFIN, with good CRCs.
//
// How answers stay paired with frames. A receiver answers in order, but not always once per
// frame: it may ask for its offset twice, and a frame or answer may be lost. Taking an extra
// answer for the answer to the next frame would leave the sender one frame ahead for good, so
// the pairing rests on what the answers say, never on when they arrive (a flush may return
// before the bytes are on the line, and answers queue up behind it):
// - A ZRPOS always carries the receiver's own offset, so acting on it is never wrong: the
//   sender goes there, whichever frame drew it.
// - A ZRPOS for the offset a reposition has just gone to may be an echo or a rejection of
//   that reposition; it is sent again either way, and each time one more ZACK carrying that
//   offset may be owed (late_acks). Owed ZACKs come before the answer to the next frame, are
//   known by their offset and are passed over, within the wait's count; once that answer is
//   in, nothing more is owed. A receiver whose ZACKs carry other offsets is never held back:
//   at worst a ZACK that happens to carry the owed offset is passed over and the four-second
//   time-out sends the data again.
// - What arrived before a full subpacket's frame end is read first: a ZRPOS there makes the
//   frame end pointless. Whether it has arrived yet is a matter of timing, and either way the
//   conversation stays paired: without the frame end the receiver asks once, with it it may
//   ask twice, and the rule above takes in both.
#include "zmodem.h"

#include "message_box.h"
#include "messages.h"
#include "progress.h"
#include "serial_port.h"
#include "zm_proto.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

enum {
    SUBPACKET_BYTES = 1001, // the longest subpacket, the only one on a good line
    WAIT_LIMIT = 10,        // answers a wait tolerates beyond the first
    GROW_AFTER = 4          // subpackets answered in a row before they grow a step
};

// The subpacket lengths, by step: one step down after each lost subpacket, one up after
// GROW_AFTER answered in a row.
static const int subpacket_lengths[] = {SUBPACKET_BYTES, 512, 256, 128, 64, 32};
enum { LAST_STEP = (int)(sizeof subpacket_lengths / sizeof subpacket_lengths[0]) - 1 };

// The line as the send has found it: the step of the subpacket length (0 while the line is
// good) and the subpackets answered in a row at it. Set afresh by every send.
static int subpacket_step;
static int answered_in_row;

static void subpacket_lost()
{
    if (subpacket_step < LAST_STEP)
        subpacket_step++;
    answered_in_row = 0;
}

static void subpacket_answered()
{
    if (subpacket_step > 0 && ++answered_in_row >= GROW_AFTER) {
        subpacket_step--;
        answered_in_row = 0;
    }
}

// What one step of a wait heard.
enum {
    ANSWER_EXHAUSTED, // nothing: the wait has heard all it may
    ANSWER_HEADER,    // a header whose CRC matched, in rx_type and rx_pos
    ANSWER_DAMAGED,   // a header whose CRC failed
    ANSWER_SILENT,    // nothing in the time an answer may take (four seconds on a good line)
    ANSWER_CANCELLED  // the receiver's cancel: the transfer has failed
};

static std::uint32_t rx_position()
{
    return (std::uint32_t)rx_pos[0] | (std::uint32_t)rx_pos[1] << 8 |
           (std::uint32_t)rx_pos[2] << 16 | (std::uint32_t)rx_pos[3] << 24;
}

static void send_position_header(int type, std::uint32_t position)
{
    send_bin32_header(type, (int)(position & 0xFF), (int)(position >> 8 & 0xFF),
                      (int)(position >> 16 & 0xFF), (int)(position >> 24 & 0xFF));
}

// One step of a wait that has heard *heard answers so far: while what it awaits has not come,
// a wait hears the first answer and up to WAIT_LIMIT more. While the line is bad an answer
// that has not come in the time it takes is taken for lost at once, and such a silence is not
// counted: the receive time-out's forty seconds still end a wait that hears nothing at all.
// Returns an ANSWER_ value.
static int listen(int *heard)
{
    if (*heard > WAIT_LIMIT)
        return ANSWER_EXHAUSTED;
    (*heard)++;
    switch (subpacket_step > 0 ? await_answer() : await_header()) {
    case HEADER_GOOD: return ANSWER_HEADER;
    case HEADER_BAD_CRC: return ANSWER_DAMAGED;
    case HEADER_CANCELLED: return ANSWER_CANCELLED;
    default:
        if (subpacket_step > 0)
            (*heard)--;
        return ANSWER_SILENT;
    }
}

// Size by reading to the end, then back to the start.
static std::uint32_t measure_file(std::FILE *file)
{
    unsigned char buffer[4096];
    std::uint32_t size = 0;
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        size += (std::uint32_t)got;
    std::clearerr(file);
    std::fseek(file, 0, SEEK_SET);
    return size;
}

// The message of the box the failed send showed, and what kind of failure it was, for the
// send's outcome.
static const char *failure_text;
static send_kind failure_kind;

// Every failure ends here. While a cancel is requested, whatever failed (the request makes the
// line seem to cancel) is the request: the receiver is cancelled and nothing is shown.
static int fail(const char *text, std::FILE *file)
{
    if (file)
        std::fclose(file);
    if (cancel_request) {
        cancel_transfer();
        cancel_request = 0;
        failure_text = nullptr;
        failure_kind = SEND_CANCELLED;
        return -1;
    }
    failure_text = text;
    failure_kind = SEND_FAILED;
    abort_transfer(text);
    return -1;
}

// fail, for a receiver that is not ready or declines a file.
static int refuse(const char *text, std::FILE *file)
{
    fail(text, file);
    if (failure_kind == SEND_FAILED)
        failure_kind = SEND_REFUSED;
    return -1;
}

// The receiver's ZRINIT after ZRQINIT. A header whose CRC failed is not taken for it: the next
// is read, up to WAIT_LIMIT more. Silence is waited out: ZRQINIT goes out once only.
// Returns 0, or -1 after aborting.
static int wait_for_receiver()
{
    for (int heard = 0, result; (result = receive_header()) != HEADER_GOOD;) {
        if (result == HEADER_CANCELLED)
            return fail(MSG_TRANSFER_ERROR, nullptr);
        if (++heard > WAIT_LIMIT)
            return refuse(MSG_RECEIVER_NOT_READY, nullptr);
    }
    if (rx_type != ZRINIT)
        return refuse(MSG_RECEIVER_NOT_READY, nullptr);
    return 0;
}

// ZFILE, then [name NUL size-in-decimal NUL] ZCRCW
static void send_offer(const char *name, std::uint32_t size)
{
    char digits[16];
    int length = std::snprintf(digits, sizeof digits, "%lu", (unsigned long)size);
    send_bin32_header(ZFILE, 0, 0, 0, 1); // ZF0 = ZCBIN: binary, no conversion
    crc32_acc = 0xFFFFFFFF;
    send_data_block((const unsigned char *)name, (int)strnlen(name, 256));
    send_data_byte(0);
    send_data_block((const unsigned char *)digits, length);
    send_data_byte(0);
    send_frame_end(ZCRCW);
}

// The offer until the receiver answers with ZRPOS, skipping the ZRINIT that a receiver
// listening before the port opened still owes. A lost answer, or a ZNAK (the receiver got
// the offer damaged), sends the offer again. Returns 0, or -1 after aborting.
static int offer_file(std::FILE *file, const char *name, std::uint32_t size)
{
    send_offer(name, size);
    int heard = 0;
    for (;;) {
        int answer = listen(&heard);
        if (answer == ANSWER_CANCELLED)
            return fail(MSG_TRANSFER_ERROR, file);
        if (answer == ANSWER_EXHAUSTED)
            return refuse(MSG_EXPECTING_ZRPOS, file);
        if (answer != ANSWER_HEADER || rx_type == ZNAK) {
            send_offer(name, size);
            continue;
        }
        if (rx_type == ZRPOS)
            return 0;
        if (rx_type != ZRINIT)
            return refuse(MSG_EXPECTING_ZRPOS, file);
    }
}

// ZACKs still owed to a reposition the sender has already left. A ZRPOS for the offset just
// sent again (or a header too damaged to read) may be an echo (a receiver that rejects a
// damaged header, or ZDATA at an offset it did not ask for, asks at once and again when it
// meets the end of that frame) or the receiver's rejection of the reposition itself; the
// sender cannot tell which, so it sends the reposition again either way. After an echo both
// repositions are acknowledged, and the second ZACK, taken for the answer to the next
// subpacket, would leave every later answer one frame behind. A receiver answers in order, so
// such ZACKs come before the answer to the next frame and carry the reposition's offset,
// which no receiver gives for data it has just taken: late_acks counts them, late_ack_offset
// is their offset.
static int late_acks;
static std::uint32_t late_ack_offset;

static void owe_late_ack(std::uint32_t offset)
{
    late_acks = late_acks > 0 && late_ack_offset == offset ? late_acks + 1 : 1;
    late_ack_offset = offset;
}

// Whether the good header in rx_type and rx_pos is a late ZACK; counts it off if so.
static int late_ack()
{
    if (late_acks == 0 || rx_type != ZACK || rx_position() != late_ack_offset)
        return 0;
    late_acks--;
    return 1;
}

static int early_zrpos(std::uint32_t *target);

// The data again from target: seek there, send ZDATA and an empty ZCRCW subpacket, until the
// receiver answers with anything but ZRPOS. A ZRPOS for another offset moves the target; a
// ZRPOS for the target, a damaged header or silence sends the same again. On a bad line a
// receiver asks twice for many frames it gets damaged, so before it is sent again what has
// already arrived is read as early_zrpos reads it: answers to frames sent before, which would
// otherwise each draw one more. Returns 0 with *position at the target, or -1 after aborting.
static int reposition(std::FILE *file, std::uint32_t *position, std::uint32_t target)
{
    int heard = 0;
    for (int round = 0;; round++) {
        if (round > 0 && subpacket_step > 0 && early_zrpos(&target) < 0)
            return fail(MSG_TRANSFER_ERROR, file);
        flush_port();
        if (target > 0x7FFFFFFF || std::fseek(file, (long)target, SEEK_SET) != 0)
            return fail(MSG_TRANSFER_ERROR, file);
        *position = target;
        send_position_header(ZDATA, target);
        send_frame_end(ZCRCW);
        int answer = listen(&heard);
        while (answer == ANSWER_HEADER && late_ack_offset != target && late_ack())
            answer = listen(&heard);
        if (answer == ANSWER_CANCELLED)
            return fail(MSG_TRANSFER_ERROR, file);
        if (answer == ANSWER_EXHAUSTED) {
            receive_header(); // one more is read, and the transfer fails whatever it is
            return fail(MSG_TRANSFER_ERROR, file);
        }
        if (answer == ANSWER_HEADER && rx_type != ZRPOS)
            return 0;
        if (answer == ANSWER_HEADER && rx_position() != target)
            target = rx_position();
        else if (answer != ANSWER_SILENT)
            owe_late_ack(target);
    }
}

// The file bytes of one subpacket: up to length bytes from the read point, never beyond the
// size announced, into chunk. They are read just before they go (the stream is unbuffered),
// so every byte sent is one the file held when it was read. Returns their number, or -1 when
// the file is no longer what was announced: shorter, or longer.
static int read_run(std::FILE *file, std::uint32_t position, int length, std::uint32_t size,
                    unsigned char *chunk)
{
    if (position > size)
        return -1;
    std::uint32_t left = size - position;
    int want = left < (std::uint32_t)length ? (int)left : length;
    int got = (int)std::fread(chunk, 1, (std::size_t)want, file);
    if (got < want || (want < length && std::getc(file) != EOF))
        return -1;
    return got;
}

// ZDATA at *position and count bytes of chunk, with the Progress box at every 1024 bytes.
static void send_run(const unsigned char *chunk, int count, std::uint32_t *position)
{
    send_position_header(ZDATA, *position);
    for (int n = 0; n < count; n++) {
        send_data_byte(chunk[n]);
        ++*position;
        if (*position % 1024 == 0)
            show_progress(PROGRESS_UPDATE, (int)(*position / 1024));
    }
}

// What the receiver said while a full subpacket went out, before it could hear the frame
// end: a late ZACK to an earlier reposition (counted off), another answer to an earlier frame
// (passed over) or a ZRPOS, when it rejected this subpacket's header or offset. Returns 1
// with that ZRPOS's offset in *target (the last one, if more came), 0 when there was none,
// -1 when the receiver cancelled.
static int early_zrpos(std::uint32_t *target)
{
    int found = 0;
    for (int heard = 0; heard <= WAIT_LIMIT; heard++) {
        int result = receive_waiting_header();
        if (result == HEADER_CANCELLED)
            return -1;
        if (result == HEADER_SILENT)
            break;
        if (result != HEADER_GOOD || late_ack())
            continue;
        if (rx_type == ZRPOS) {
            *target = rx_position();
            found = 1;
        }
    }
    return found;
}

// Ends a full subpacket, whose data began at resume, and waits for its answer: anything but
// ZRPOS (a ZACK) is leave to go on. When the receiver has already asked for an offset, the
// frame end is not sent: it would only draw the same request again. Returns 0 with *position
// where to go on, or -1 after aborting.
static int end_full_subpacket(std::FILE *file, std::uint32_t *position, std::uint32_t resume)
{
    flush_port();
    std::uint32_t target = resume;
    int early = early_zrpos(&target);
    if (early < 0)
        return fail(MSG_TRANSFER_ERROR, file);
    if (early) {
        subpacket_lost();
        return reposition(file, position, target);
    }
    send_frame_end(ZCRCW);
    int heard = 0;
    int answer = listen(&heard);
    while (answer == ANSWER_HEADER && late_ack())
        answer = listen(&heard);
    late_acks = 0;
    if (answer == ANSWER_CANCELLED)
        return fail(MSG_TRANSFER_ERROR, file);
    if (answer == ANSWER_HEADER && rx_type != ZRPOS) {
        subpacket_answered();
        return 0;
    }
    subpacket_lost();
    return reposition(file, position, answer == ANSWER_HEADER ? rx_position() : resume);
}

// The answer to ZEOF. Returns 1 when the receiver has the whole file (ZRINIT), 0 when the data
// must go again from *target (left at where the last data began when the answer was lost),
// -1 after aborting. Between files anything else fails at once; after the last file up to
// WAIT_LIMIT other headers are skipped, and then one more is read before failing.
static int wait_after_eof(std::FILE *file, int last_file, std::uint32_t *target)
{
    int heard = 0;
    for (;;) {
        int answer = listen(&heard);
        if (answer == ANSWER_CANCELLED)
            return fail(MSG_TRANSFER_ERROR, file);
        if (answer == ANSWER_EXHAUSTED) {
            receive_header();
            return fail(MSG_EXPECTED_ZRINIT, file);
        }
        if (answer != ANSWER_HEADER)
            return 0;
        if (late_ack())
            continue;
        if (rx_type == ZRINIT)
            return 1;
        if (rx_type == ZRPOS) {
            *target = rx_position();
            return 0;
        }
        if (!last_file)
            return refuse(MSG_RECEIVER_NOT_READY, file);
    }
}

// The data from offset 0 in subpackets of the length the line allows, each full one answered
// before the next goes out, then the last one with ZCRCE and ZEOF, until the receiver has the whole file.
// Returns 0, or -1 after aborting; the file is closed either way.
static int send_file_data(std::FILE *file, std::uint32_t size, int last_file)
{
    // The offset of the ZRPOS that answered ZFILE is not used: every file starts at 0.
    std::uint32_t position = 0;
    late_acks = 0;
    unsigned char chunk[SUBPACKET_BYTES];
    for (;;) {
        std::uint32_t resume = position; // where the data not yet answered begin
        int length = subpacket_lengths[subpacket_step];
        int got = read_run(file, position, length, size, chunk);
        if (got < 0) // the file changed while it was sent
            return fail(MSG_TRANSFER_ERROR, file);
        send_run(chunk, got, &position);
        if (got == length) {
            if (end_full_subpacket(file, &position, resume) != 0)
                return -1;
            continue;
        }
        send_frame_end(ZCRCE);
        send_position_header(ZEOF, position);
        std::uint32_t target = resume;
        int arrived = wait_after_eof(file, last_file, &target);
        if (arrived < 0)
            return -1;
        if (arrived)
            break;
        subpacket_lost();
        if (reposition(file, &position, target) != 0)
            return -1;
    }
    std::fclose(file);
    return 0;
}

// Sends one file once the receiver is ready, up to its ZRINIT after ZEOF. Returns 0, or -1
// after aborting.
static int send_one_file(const char *path, const char *name, int last_file)
{
    std::FILE *file = std::fopen(path, "rb");
    if (!file)
        return fail(MSG_ERROR_OPENING_FILE, nullptr);
    // Unbuffered: a buffer would hold bytes across a reposition, and send bytes that a file
    // cut short meanwhile no longer has. Each subpacket is one read of its own.
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::uint32_t size = measure_file(file);
    // snprintf cuts a label that would not fit, however long the name or large the file.
    std::snprintf(status_text, sizeof status_text, MSG_PROGRESS_SENDING, name, size / 1024.0);
    progress_phase(PROGRESS_KILOBYTES, (long)std::nearbyint(size / 1024.0)); // as the label
    if (offer_file(file, name, size) != 0)
        return -1;
    return send_file_data(file, size, last_file);
}

// ZFIN until the receiver answers with its own. A lost answer, or a ZRINIT (the receiver still
// waits for a file or the end, so it did not hear ZFIN), sends ZFIN again. Returns 0, or -1
// after aborting.
static int end_batch()
{
    send_bin32_header(ZFIN, 0, 0, 0, 0);
    int heard = 0;
    for (;;) {
        int answer = listen(&heard);
        if (answer == ANSWER_CANCELLED)
            return fail(MSG_TRANSFER_ERROR, nullptr);
        if (answer == ANSWER_EXHAUSTED)
            return fail(MSG_EXPECTED_ZFIN, nullptr);
        if (answer == ANSWER_HEADER && rx_type == ZFIN)
            return 0;
        if (answer == ANSWER_HEADER && rx_type != ZRINIT)
            return fail(MSG_EXPECTED_ZFIN, nullptr);
        send_bin32_header(ZFIN, 0, 0, 0, 0);
    }
}

void zmodem_request_cancel()
{
    cancel_request = 1;
}

int zmodem_send_cancelled()
{
    return failure_kind == SEND_CANCELLED;
}

// The whole batch. Returns count, or -1 with failure_text and failure_kind set.
static int send_batch(int count, const char *const *paths, const char (*names)[256],
                      unsigned char com_index, unsigned char baud_index)
{
    failure_text = nullptr;
    failure_kind = SEND_DONE;
    subpacket_step = answered_in_row = 0;
    if (count <= 0)
        return fail(MSG_NO_FILES, nullptr);
    show_progress(PROGRESS_OPEN, 0);
    if (!open_com_port(com_index, baud_index)) {
        show_progress(PROGRESS_CLOSE, 0);
        failure_text = MSG_CANT_OPEN_PORT;
        failure_kind = SEND_NO_PORT;
        return -1;
    }
    flush_port();
    send_zrqinit();
    if (wait_for_receiver() != 0)
        return -1;
    for (int i = 0; i < count; i++) {
        if (send_one_file(paths[i], names[i], i == count - 1) != 0)
            return -1;
    }
    if (end_batch() != 0)
        return -1;
    send_raw_byte('O');
    send_raw_byte('O');
    flush_port();
    close_port();
    show_progress(PROGRESS_CLOSE, 0);
    message_box(OWNER_ACTIVE, MSG_TRANSFER_DONE, MSG_CAPTION_TRANSFER_OK, MSGBOX_OK);
    return count;
}

int zmodem_send_files(int count, const char *const *paths, const char (*names)[256],
                      unsigned char com_index, unsigned char baud_index, send_outcome *outcome)
{
    const int result = send_batch(count, paths, names, com_index, baud_index);
    if (outcome)
        *outcome = result >= 0 ? send_outcome{SEND_DONE, MSG_TRANSFER_DONE}
                               : send_outcome{failure_kind, failure_text};
    return result;
}
