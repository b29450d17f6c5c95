#include "TidewellRuntimeSupport/TidewellShmTrust.h"

#include <errno.h>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

TidewellShmTrust TidewellShmTrustOf(const struct stat *status)
{
    if (status == NULL) {
        return TidewellShmStatusUnreadable;
    }
    if (!S_ISREG(status->st_mode)) {
        return TidewellShmNotRegular;
    }
    if (status->st_uid != geteuid()) {
        return TidewellShmOwnedByOther;
    }
    if ((status->st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return TidewellShmWritableByOthers;
    }
    return TidewellShmTrusted;
}

TidewellShmTrust TidewellShmCheck(int fd, struct stat *status)
{
    struct stat own;
    struct stat *st = status != NULL ? status : &own;
    if (fstat(fd, st) != 0) {
        return TidewellShmStatusUnreadable;
    }
    return TidewellShmTrustOf(st);
}

TidewellShmTrust TidewellShmClaim(int fd, struct stat *status)
{
    struct stat own;
    struct stat *st = status != NULL ? status : &own;
    TidewellShmTrust trust = TidewellShmCheck(fd, st);
    if (trust != TidewellShmWritableByOthers) {
        return trust;
    }
    /* Only the owner's own write right stays; reading is left as it was. */
    if (fchmod(fd, st->st_mode & 07777 & ~(mode_t)(S_IWGRP | S_IWOTH)) != 0) {
        return trust;
    }
    return TidewellShmCheck(fd, st);
}

TidewellShmTrust TidewellShmCheckUnopened(const char *name, int error, struct stat *status)
{
    char path[256];
    if (error != EACCES || status == NULL || name == NULL || name[0] != '/' || name[1] == '\0' ||
        strchr(name + 1, '/') != NULL) {
        return TidewellShmTrusted;
    }
    int length = snprintf(path, sizeof path, "/dev/shm%s", name);
    /* Not followed: shm_open does not follow a symbolic link either. */
    if (length < 0 || (size_t)length >= sizeof path || lstat(path, status) != 0) {
        return TidewellShmTrusted;
    }
    TidewellShmTrust trust = TidewellShmTrustOf(status);
    return trust == TidewellShmOwnedByOther || trust == TidewellShmNotRegular ? trust : TidewellShmTrusted;
}

/* "nobody (uid 65534)", or "uid 65534" when the password database does not know it. */
static void TidewellShmDescribeUser(uid_t uid, char *buffer, size_t size)
{
    char scratch[2048];
    struct passwd entry;
    struct passwd *found = NULL;
    if (getpwuid_r(uid, &entry, scratch, sizeof scratch, &found) == 0 && found != NULL && found->pw_name != NULL &&
        found->pw_name[0] != '\0') {
        snprintf(buffer, size, "%s (uid %u)", found->pw_name, (unsigned)uid);
    } else {
        snprintf(buffer, size, "uid %u", (unsigned)uid);
    }
}

void TidewellShmDescribeRefusal(const char *name, TidewellShmTrust trust, const struct stat *status, char *buffer,
                                size_t size)
{
    if (buffer == NULL || size == 0) {
        return;
    }
    const char *region = name != NULL ? name : "";
    char owner[320];
    char user[320];
    switch (trust) {
    case TidewellShmTrusted:
        snprintf(buffer, size, "Shared memory \"%s\" is this user's own.", region);
        return;
    case TidewellShmStatusUnreadable:
        snprintf(buffer, size, "Not using shared memory \"%s\": its owner could not be read.", region);
        return;
    case TidewellShmNotRegular:
        snprintf(buffer, size, "Not using shared memory \"%s\": it is not a regular shared-memory object.", region);
        return;
    case TidewellShmOwnedByOther:
        TidewellShmDescribeUser(status != NULL ? status->st_uid : (uid_t)-1, owner, sizeof owner);
        TidewellShmDescribeUser(geteuid(), user, sizeof user);
        snprintf(buffer, size, "Not using shared memory \"%s\": it belongs to %s, not to %s.", region, owner, user);
        return;
    case TidewellShmWritableByOthers:
        TidewellShmDescribeUser(status != NULL ? status->st_uid : geteuid(), owner, sizeof owner);
        snprintf(buffer, size, "Not using shared memory \"%s\": users other than its owner %s may write it (mode %04o).",
                 region, owner, status != NULL ? (unsigned)(status->st_mode & 07777) : 0u);
        return;
    }
    snprintf(buffer, size, "Not using shared memory \"%s\".", region);
}

/* The regions refused and already reported, by name. A refusal that finds the table full is
 * said without being remembered: said twice rather than never. */
enum { kRefusedCapacity = 64, kRefusedNameCapacity = 64 };
static char gRefused[kRefusedCapacity][kRefusedNameCapacity];
static pthread_mutex_t gRefusedLock = PTHREAD_MUTEX_INITIALIZER;
static TidewellShmReporter gReporter = NULL;

static int TidewellShmRefusedIndex(const char *name)
{
    for (int i = 0; i < kRefusedCapacity; ++i) {
        if (gRefused[i][0] != '\0' && strncmp(gRefused[i], name, kRefusedNameCapacity) == 0) {
            return i;
        }
    }
    return -1;
}

void TidewellShmReportRefusal(const char *name, TidewellShmTrust trust, const struct stat *status)
{
    if (name == NULL || trust == TidewellShmTrusted) {
        return;
    }
    pthread_mutex_lock(&gRefusedLock);
    int say = TidewellShmRefusedIndex(name) < 0;
    if (say && strlen(name) < kRefusedNameCapacity) {
        for (int i = 0; i < kRefusedCapacity; ++i) {
            if (gRefused[i][0] == '\0') {
                memcpy(gRefused[i], name, strlen(name) + 1);
                break;
            }
        }
    }
    TidewellShmReporter reporter = gReporter;
    pthread_mutex_unlock(&gRefusedLock);
    if (!say) {
        return;
    }
    char words[1024];
    TidewellShmDescribeRefusal(name, trust, status, words, sizeof words);
    if (reporter != NULL) {
        reporter(words);
    } else {
        fprintf(stderr, "%s\n", words);
    }
}

void TidewellShmReportAccepted(const char *name)
{
    if (name == NULL) {
        return;
    }
    pthread_mutex_lock(&gRefusedLock);
    int index = TidewellShmRefusedIndex(name);
    if (index >= 0) {
        gRefused[index][0] = '\0';
    }
    pthread_mutex_unlock(&gRefusedLock);
}

void TidewellShmSetReporter(TidewellShmReporter reporter)
{
    pthread_mutex_lock(&gRefusedLock);
    gReporter = reporter;
    pthread_mutex_unlock(&gRefusedLock);
}
