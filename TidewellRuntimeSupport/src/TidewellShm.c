#include "TidewellRuntimeSupport/TidewellShm.h"

#include <sys/mman.h>
#include <sys/types.h>

int TidewellShmOpen(const char *name, int oflag, uint16_t mode)
{
    return shm_open(name, oflag, (mode_t)mode);
}

int TidewellShmUnlink(const char *name)
{
    return shm_unlink(name);
}
