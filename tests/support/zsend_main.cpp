// zsend: the batch send as a command for end-to-end tests and benchmarks, with the real serial
// port of the build (POSIX or Windows) and the recording Progress box and message boxes.
//   zsend COM-INDEX BAUD-INDEX PATH NAME [PATH NAME ...]
// Prints the result and every message box; exits 0 when all files went through.
// Natively, KESTREL_COM1..KESTREL_COM6 name the devices of the ports.
#include "recorded.h"
#include "zmodem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static char names[16][256];
static const char *paths[16];

int main(int argc, char **argv)
{
    if (argc < 5 || (argc - 3) % 2 != 0 || (argc - 3) / 2 > 16) {
        std::fprintf(stderr, "usage: zsend COM-INDEX BAUD-INDEX PATH NAME [PATH NAME ...]\n");
        return 2;
    }
    int count = (argc - 3) / 2;
    for (int i = 0; i < count; i++) {
        paths[i] = argv[3 + 2 * i];
        std::snprintf(names[i], sizeof names[i], "%s", argv[4 + 2 * i]);
    }
    int result = zmodem_send_files(count, paths, names, (unsigned char)std::atoi(argv[1]),
                                   (unsigned char)std::atoi(argv[2]));
    std::printf("result %d\n", result);
    for (int i = 0; i < message_call_count && i < RECORDED_MAX; i++)
        std::printf("message %s: %s\n", message_calls[i].caption, message_calls[i].text);
    std::fflush(stdout);
    return result == count ? 0 : 1;
}
