/* Shortening a file on Windows, through the C runtime's descriptor of the FILE*. */
#include <io.h>

#include "dbf_os.h"

int os_truncate(FILE *file, uint64_t size)
{
    if (fflush(file) != 0)
        return 0;
    return _chsize_s(_fileno(file), (long long)size) == 0;
}
