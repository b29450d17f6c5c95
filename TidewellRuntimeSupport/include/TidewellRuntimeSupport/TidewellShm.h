/* Fixed-argument forms of the POSIX shared-memory calls, so that callers in any language
 * of the system reach them without the variadic open call. */
#ifndef TIDEWELL_RUNTIME_SUPPORT_SHM_H
#define TIDEWELL_RUNTIME_SUPPORT_SHM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens (or with O_CREAT creates) the region `name` with exactly these flags and mode.
 * Returns a descriptor, or -1 with errno set. */
int TidewellShmOpen(const char *name, int oflag, uint16_t mode);

/* Removes the region `name`. Returns 0, or -1 with errno set. */
int TidewellShmUnlink(const char *name);

#ifdef __cplusplus
}
#endif

#endif
