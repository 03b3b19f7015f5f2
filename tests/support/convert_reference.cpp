// The reference conversion of the end-to-end suite: converts a lookup file through the record
// store exactly as the program's conversion does, into a file set of the caller's naming, so
// that what reaches the terminal can be compared byte for byte.
//
// Usage: convert_reference LOOKUP BASE LINE_LENGTH KEY1_OFFSET KEY1_LENGTH KEY2_OFFSET KEY2_LENGTH
// Writes BASE.db0, BASE.db1 (and BASE.db2). Exit status 0 when the conversion succeeded.
#include "lookup_convert.h"
#include "platform.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: convert_reference LOOKUP BASE LINE_LENGTH KEY1_OFFSET "
                             "KEY1_LENGTH KEY2_OFFSET KEY2_LENGTH\n");
        return 2;
    }
    if (std::strlen(argv[2]) >= sizeof temp_base) {
        std::fprintf(stderr, "convert_reference: base name too long\n");
        return 2;
    }
    std::strcpy(temp_base, argv[2]);
    settings.line_length = static_cast<unsigned char>(std::atoi(argv[3]));
    settings.key1_offset = std::atoi(argv[4]);
    settings.key1_length = std::atoi(argv[5]);
    settings.key2_offset = std::atoi(argv[6]);
    settings.key2_length = std::atoi(argv[7]);
    settings.send_mode = 1;

    lookup_handle = platform_open_read(argv[1]);
    if (lookup_handle == PLATFORM_FILE_INVALID) {
        std::fprintf(stderr, "convert_reference: cannot open %s\n", argv[1]);
        return 1;
    }
    int result = convert_lookup();
    platform_close(lookup_handle);
    std::printf("convert_lookup: %d\n", result);
    return result == 1 ? 0 : 1;
}
