#include <CoreFoundation/HostClock.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

struct TestSource {
    HostClockTestSource source;
    void* context;
};

// One pointer, so a reader never sees a source from one call and a context from another.
// Replaced sources are kept (never freed): a reader on another thread may still hold one.
std::atomic<const TestSource*> gTestSource{nullptr};

}  // namespace

extern "C" {

UInt64 HostClockGetTime(void) {
    if (const TestSource* t = gTestSource.load(std::memory_order_acquire)) return t->source(t->context);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<UInt64>(ts.tv_sec) * 1000000000ull + static_cast<UInt64>(ts.tv_nsec);
}

Float64 HostClockGetFrequency(void) { return 1e9; }

UInt64 HostClockConvertToNanoseconds(UInt64 hostTime) { return hostTime; }

UInt64 HostClockConvertFromNanoseconds(UInt64 nanoseconds) { return nanoseconds; }

void HostClockSetTestSource(HostClockTestSource source, void* context) {
    static auto* mutex = new std::mutex;
    static auto* kept = new std::vector<const TestSource*>;
    std::lock_guard<std::mutex> lock(*mutex);
    const TestSource* t = nullptr;
    if (source) {
        t = new TestSource{source, context};
        kept->push_back(t);
    }
    gTestSource.store(t, std::memory_order_release);
}

}  // extern "C"
