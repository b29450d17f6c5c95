// The SIGBUS guard over the plug-in's shared-region mappings (see TWRegionGuard.h). The
// handler runs on whichever thread touched a shrunk region, the audio server's IO threads
// included, and so does only async-signal-safe work: atomic loads and stores on a fixed
// table, mmap, sigaction and raise.

#include <TidewellHAL/TWRegionGuard.h>

#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace {

struct TWGuardEntry {
    std::atomic<uintptr_t> base{0};  // 0: nothing guarded
    std::atomic<size_t> length{0};
    std::atomic<int> protection{PROT_READ};
    std::atomic<bool> damaged{false};
};

constexpr uint32_t kTWGuardEntries = kTWGuardMeterFirst + 2 * TidewellRuntimeMaxDevices;
TWGuardEntry gGuards[kTWGuardEntries];
std::atomic<uint32_t> gGuardFaults{0};
struct sigaction gPreviousAction;

// Swaps the range for private zero pages in one step: a thread reading it meanwhile sees
// either the old pages or the zero ones, never a hole.
bool TWGuardReplace(TWGuardEntry& entry) {
    uintptr_t base = entry.base.load(std::memory_order_acquire);
    if (base == 0) return false;
    void* replaced = mmap(reinterpret_cast<void*>(base), entry.length.load(std::memory_order_relaxed),
                          entry.protection.load(std::memory_order_relaxed), MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                          -1, 0);
    if (replaced == MAP_FAILED) return false;
    entry.damaged.store(true, std::memory_order_release);
    return true;
}

// A fault that is not ours gets what it would have got without the plug-in.
void TWGuardForward(int signal, siginfo_t* info, void* context) {
    if (gPreviousAction.sa_flags & SA_SIGINFO) {
        if (gPreviousAction.sa_sigaction != nullptr) gPreviousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (gPreviousAction.sa_handler != SIG_DFL && gPreviousAction.sa_handler != SIG_IGN) {
        gPreviousAction.sa_handler(signal);
        return;
    }
    // Ignoring a SIGBUS another process sent stays ignored; a real fault cannot be ignored.
    if (gPreviousAction.sa_handler == SIG_IGN && info != nullptr && info->si_code <= 0) return;
    // Default action: the signal is blocked while this handler runs, so the raised one is
    // delivered, now with the default action, as soon as the handler returns.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    sigaction(SIGBUS, &defaults, nullptr);
    raise(SIGBUS);
}

void TWGuardSignal(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    if (info != nullptr && info->si_code == BUS_ADRERR) {
        const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
        for (auto& entry : gGuards) {
            const uintptr_t base = entry.base.load(std::memory_order_acquire);
            if (base == 0 || address < base || address - base >= entry.length.load(std::memory_order_relaxed)) {
                continue;
            }
            if (TWGuardReplace(entry)) {
                gGuardFaults.fetch_add(1, std::memory_order_relaxed);
                errno = savedErrno;
                return;  // the access runs again, on the zero pages
            }
            break;
        }
    }
    errno = savedErrno;
    TWGuardForward(signal, info, context);
}

void TWGuardInstall() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = TWGuardSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &gPreviousAction);
    });
}

}  // namespace

uint32_t TWGuardMeterEntry(uint32_t deviceIndex, bool output) {
    return kTWGuardMeterFirst + 2 * deviceIndex + (output ? 1 : 0);
}

void TWRegionGuardSet(uint32_t entry, void* base, size_t length, bool writable) {
    if (entry >= kTWGuardEntries) return;
    TWGuardInstall();
    TWGuardEntry& e = gGuards[entry];
    e.base.store(0, std::memory_order_release);
    e.length.store(length, std::memory_order_relaxed);
    e.protection.store(writable ? PROT_READ | PROT_WRITE : PROT_READ, std::memory_order_relaxed);
    e.damaged.store(false, std::memory_order_relaxed);
    e.base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
}

void TWRegionGuardClear(uint32_t entry) {
    if (entry >= kTWGuardEntries) return;
    gGuards[entry].base.store(0, std::memory_order_release);
    gGuards[entry].damaged.store(false, std::memory_order_relaxed);
}

bool TWRegionGuardDamaged(uint32_t entry) {
    return entry < kTWGuardEntries && gGuards[entry].damaged.load(std::memory_order_acquire);
}

bool TWRegionGuardRestore(uint32_t entry, int descriptor) {
    if (entry >= kTWGuardEntries) return false;
    TWGuardEntry& e = gGuards[entry];
    void* base = reinterpret_cast<void*>(e.base.load(std::memory_order_acquire));
    if (base == nullptr) return false;
    const size_t length = e.length.load(std::memory_order_relaxed);
    // Cleared first: a cut after the restore marks it again. Until the move below the range
    // holds zero pages, which never fault.
    e.damaged.store(false, std::memory_order_release);
    // Mapped aside first and then moved over the zero pages, so that a failure leaves the
    // range as it was rather than unmapped under its readers.
    void* fresh = mmap(nullptr, length, e.protection.load(std::memory_order_relaxed), MAP_SHARED, descriptor, 0);
    if (fresh != MAP_FAILED && mremap(fresh, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, base) == base) return true;
    if (fresh != MAP_FAILED) munmap(fresh, length);
    // Zero pages again (a failed move may have unmapped the range), marked damaged.
    TWGuardReplace(e);
    return false;
}

bool TWRegionGuardRetire(uint32_t entry) { return entry < kTWGuardEntries && TWGuardReplace(gGuards[entry]); }

uint32_t TWRegionGuardFaultCount() { return gGuardFaults.load(std::memory_order_relaxed); }
