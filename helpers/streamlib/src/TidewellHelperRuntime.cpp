#include "TidewellStream/TidewellHelperRuntime.h"

#include <AudioClient/AudioServerStatus.h>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

std::atomic<int> gStopRequested{0};

void SignalHandler(int /*signalNumber*/) {
    gStopRequested.store(1, std::memory_order_relaxed);
}

namespace {

// How long the report may take before the process ends regardless.
constexpr long kReportGraceNanoseconds = 500'000'000;

void SleepFor(uint32_t seconds, long extraNanoseconds) {
    timespec remaining{static_cast<time_t>(seconds), extraNanoseconds};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void* ShutdownReaperMain(void* argument) {
    SleepFor(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument)), kReportGraceNanoseconds);
    _exit(0);
}

bool StartDetached(void* (*body)(void*), uint32_t seconds) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started =
        pthread_create(&thread, &attributes, body, reinterpret_cast<void*>(static_cast<uintptr_t>(seconds))) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

}  // namespace

void* TidewellShutdownWatchdogMain(void* argument) {
    const auto seconds = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
    SleepFor(seconds, 0);
    std::fprintf(stderr, "Shutdown did not complete within %u s; exiting.\n", seconds);
    std::fflush(stderr);
    std::fflush(stdout);
    _exit(0);
}

void TidewellArmShutdownWatchdog(uint32_t seconds) {
    if (!StartDetached(TidewellShutdownWatchdogMain, seconds)) {
        return;
    }
    // The report can block for good (a full pipe, or stdio locked by the thread that hung); a
    // second thread ends the process shortly after the deadline whatever the first is doing.
    StartDetached(ShutdownReaperMain, seconds);
}

void PrintStatus(const char* what, int32_t status) {
    const auto bits = static_cast<uint32_t>(status);
    char code[5];
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>(bits >> (24 - 8 * i));
        code[i] = (byte >= 32 && byte <= 126) ? static_cast<char>(byte) : '.';
    }
    code[4] = '\0';
    std::fprintf(stderr, "%s failed: %d ('%s')\n", what != nullptr ? what : "", status, code);
    if (AudioServerIsMissing(status)) std::fprintf(stderr, "%s\n", AudioServerMissingMessage().c_str());
}

void Check(int32_t status, const char* what) {
    if (status == 0) {
        return;
    }
    PrintStatus(what, status);
    std::exit(1);
}
