// The program's own texts, as the single-byte Windows-1250 strings the user sees. Non-ASCII
// letters are written as escapes so that the bytes do not depend on the source encoding;
// the readable text stands in the comment beside each.
#ifndef KESTREL_MESSAGES_H
#define KESTREL_MESSAGES_H

#define MSG_CAPTION_ERROR        "Error"
#define MSG_CANT_OPEN_LOOKUP     "Can't open lookop file!"
#define MSG_CONVERSION_FAILED    "Conversion of lookup file failed!"
// At start-up, when the program folder leaves no room for the paths derived from it.
#define MSG_FOLDER_TOO_LONG      "The program folder path is too long."

// Progress labels.
#define MSG_PROGRESS_INITIAL     "       Converting lookup file : 0       "
#define MSG_PROGRESS_CONVERTING  "       Konwersja pliku : "
#define MSG_PROGRESS_SENDING     " Wysy\xB3" "anie pliku %s (%3.0f kb): " // " Wysyłanie pliku %s (%3.0f kb): "

// The batch send and the serial port.
#define MSG_NO_FILES             "No files!"
#define MSG_CANT_OPEN_PORT       "Can't open COM port."
#define MSG_RECEIVER_NOT_READY   "Receiver not ready."
#define MSG_ERROR_OPENING_FILE   "Error opening file."
#define MSG_EXPECTING_ZRPOS      "excepting file offset in ZRPOS header..."
#define MSG_TRANSFER_ERROR       "Transfer error..."
#define MSG_EXPECTED_ZRINIT      "Unexpected zmodem header (expected ZRINIT)"
#define MSG_EXPECTED_ZFIN        "Unexpected zmodem header (expect ZFIN)"
#define MSG_TIMEOUT              "Timeout error"
#define MSG_TRANSFER_DONE        "Files succesfully transferred"
#define MSG_CAPTION_TRANSFER_OK  "Transfer OK"

// Diagnostics of the header reader, written to standard output.
#define MSG_BAD_HEX_CRC          "bad crc..."
#define MSG_BAD_BIN32_CRC        "crc receive error"

#endif
