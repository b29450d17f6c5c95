/* Whether a shared-memory region may be used at all. Region names are global to the machine:
 * a region another user made carries that user's devices and controls, and one that another
 * user may write lets that user change ours or cut it under our mappings. Every writer and
 * reader of the runtime, control and meter regions checks, right after it opens one, that it
 * is a regular object that the effective user owns and that nobody else may write; a region
 * that fails is not used (readers treat it as absent, writers publish nothing over it and say
 * so once). */
#ifndef TIDEWELL_RUNTIME_SUPPORT_SHM_TRUST_H
#define TIDEWELL_RUNTIME_SUPPORT_SHM_TRUST_H

#include <stddef.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum TidewellShmTrust {
    TidewellShmTrusted = 0,            /* the user's own, and only the user may write it */
    TidewellShmStatusUnreadable = 1,   /* fstat failed */
    TidewellShmNotRegular = 2,         /* not a regular shared-memory object */
    TidewellShmOwnedByOther = 3,       /* another user owns it */
    TidewellShmWritableByOthers = 4    /* the user's own, but group or others may write it */
} TidewellShmTrust;

/* The verdict on a region with this status. */
TidewellShmTrust TidewellShmTrustOf(const struct stat *status);

/* fstat of the descriptor (into *status when it is not null) and the verdict on it. For
 * readers. */
TidewellShmTrust TidewellShmCheck(int fd, struct stat *status);

/* For writers: as TidewellShmCheck, except that a region of the user's own that others may
 * write (as older builds made them) first loses those write bits. */
TidewellShmTrust TidewellShmClaim(int fd, struct stat *status);

/* For a writer whose open of `name` failed with `error`: whether the region that refused it
 * is another user's (or not a regular object), with its status. Another user's region that
 * this user may not open read-write refuses with EACCES; its status is then read by name,
 * POSIX shared memory living in /dev/shm on Linux. TidewellShmTrusted when the failure says
 * nothing about whose the region is: any other error, or a status that cannot be read. */
TidewellShmTrust TidewellShmCheckUnopened(const char *name, int error, struct stat *status);

/* The refusal in words, naming the region and its owner (by user name where the password
 * database knows it, else by uid), NUL-terminated within `size` bytes. */
void TidewellShmDescribeRefusal(const char *name, TidewellShmTrust trust, const struct stat *status, char *buffer,
                                size_t size);

/* A writer's report of a refused region: said through the reporter the first time the region
 * is refused, and not again until TidewellShmReportAccepted has been called for its name
 * (a writer that later takes the region up again, and finds it refused after that, says so
 * again). Not for audio threads. */
void TidewellShmReportRefusal(const char *name, TidewellShmTrust trust, const struct stat *status);
void TidewellShmReportAccepted(const char *name);

/* Where reports go: one line of words per call, without a line end. Null (the default)
 * writes them to standard error. */
typedef void (*TidewellShmReporter)(const char *words);
void TidewellShmSetReporter(TidewellShmReporter reporter);

#ifdef __cplusplus
}
#endif

#endif
