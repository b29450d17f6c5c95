#include "TapStartupWatchdog.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "TidewellHelpers/TidewellHelperSettings.h"

std::atomic<bool> gTapStartupComplete{false};

void* StartupWatchdog(void* /*argument*/) {
    const int64_t seconds = TidewellTapStartupTimeoutSeconds();
    if (seconds <= 0) {
        return nullptr;
    }
    // 64-bit count of 100 ms checks over a capped timeout: a huge value waits long, never overflows
    // into an immediate timeout.
    const int64_t checks = seconds * 10;
    for (int64_t i = 0; i < checks; ++i) {
        if (gTapStartupComplete.load(std::memory_order_acquire)) {
            return nullptr;
        }
        usleep(100000);
    }
    if (gTapStartupComplete.load(std::memory_order_acquire)) {
        return nullptr;
    }
    std::fprintf(stderr,
                 "Tidewell process tap startup timed out after %d seconds. Check Screen & System Audio Recording "
                 "permission.\n",
                 static_cast<int>(seconds));
    std::fflush(stderr);
    _exit(kTidewellTapStartupTimeoutExitCode);
}

bool StartStartupWatchdog() {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, StartupWatchdog, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}
