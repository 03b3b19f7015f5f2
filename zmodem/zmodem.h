// The ZMODEM batch send: the only entry point the rest of the program uses.
#ifndef KESTREL_ZMODEM_H
#define KESTREL_ZMODEM_H

// What a batch send ended with, besides its count or -1.
enum send_kind {
    SEND_DONE,      // the receiver has every file and confirmed the end
    SEND_NO_PORT,   // the port could not be opened: nothing went out on the line
    SEND_REFUSED,   // the receiver was not ready, or declined a file
    SEND_FAILED,    // the transfer failed on the way (or there was nothing to send)
    SEND_CANCELLED  // zmodem_request_cancel stopped it
};

struct send_outcome {
    send_kind kind;
    const char *message; // the text of the box the send showed (messages.h); null after a cancel
};

// Sends count files to the receiver on COM port com_index (0 to 5: COM1 to COM6, or a port
// whose device set_com_device named) at rate baud_index (0 to 4: 115200, 57600, 38400, 19200,
// 9600 bit/s) in one batch, showing the kilobytes sent in the Progress box and the outcome in
// a message box. File i is read from paths[i] and announced to the receiver as names[i],
// exactly as given.
// Returns count when every file went through and the receiver confirmed the end, else -1;
// when outcome is not null it is filled with what happened.
// A receiver that stays silent for about forty seconds while an answer is awaited ends the
// process instead, and so does at once a line that goes away (line_gone_error in
// serial_port.h tells which): after "Timeout error" the process exits with status 1
// (platform_exit) and the call never returns, so nothing its caller would do afterwards is
// done.
int zmodem_send_files(int count, const char *const *paths, const char (*names)[256],
                      unsigned char com_index, unsigned char baud_index,
                      send_outcome *outcome = nullptr);

// Asks a send under way (from a signal or console handler: it only sets a flag) to stop:
// the sender sends the cancel sequence, closes the port and its Progress box, shows no
// message box and returns -1 within about a second.
void zmodem_request_cancel();
// 1 when the last send ended by such a request, else 0.
int zmodem_send_cancelled();

#endif
