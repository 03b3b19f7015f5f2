// What the POSIX serial port offers beyond the raw seam of serial_port.h.
#ifndef KESTREL_SERIAL_PORT_POSIX_H
#define KESTREL_SERIAL_PORT_POSIX_H

// Makes COM<com_index + 1> (com_index 0 to 5) open the device at path for the rest of the
// process, in place of its /dev/ttyS default and of KESTREL_COM<n>. Returns 1, or 0 when
// com_index is out of range or the path does not fit (the port then stays as it was).
int set_com_device(int com_index, const char *path);

#endif
