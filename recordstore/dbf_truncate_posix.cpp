/* Shortening a file on POSIX. */
#include <unistd.h>

#include "dbf_os.h"

int os_truncate(FILE *file, uint64_t size)
{
    if (fflush(file) != 0)
        return 0;
    return ftruncate(fileno(file), (off_t)size) == 0;
}
