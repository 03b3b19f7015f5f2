// The ZMODEM batch send: the only entry point the rest of the program uses.
#ifndef KESTREL_ZMODEM_H
#define KESTREL_ZMODEM_H

// Sends count files to the receiver on COM port com_index (0 to 5: COM1 to COM6) at rate
// baud_index (0 to 4: 115200, 57600, 38400, 19200, 9600 bit/s) in one batch, showing the
// kilobytes sent in the Progress box and the outcome in a message box.
// File i is read from paths[i] and announced to the receiver as names[i], exactly as given.
// Returns count when every file went through and the receiver confirmed the end, else -1.
int zmodem_send_files(int count, const char *const *paths, const char (*names)[256],
                      unsigned char com_index, unsigned char baud_index);

// Asks a send under way (from a signal or console handler: it only sets a flag) to stop:
// the sender sends the cancel sequence, closes the port and its Progress box, shows no
// message box and returns -1 within about a second.
void zmodem_request_cancel();
// 1 when the last send ended by such a request, else 0.
int zmodem_send_cancelled();

#endif
