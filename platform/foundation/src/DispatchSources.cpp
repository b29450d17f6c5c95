// Dispatch sources: timer sources fired from the timer thread, and signal sources fed by a
// signal handler through a pipe and a thread that reads it.
#include "DispatchInternal.h"

#include <dispatch/dispatch.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <unistd.h>
#include <vector>

struct dispatch_source_type_s {
    int kind;
};
const dispatch_source_type_s dispatch_source_type_timer_s{1};
const dispatch_source_type_s dispatch_source_type_signal_s{2};

// ---------------------------------------------------------------------------------------
// Sources.

struct dispatch_source_s : dispatch_object_s {
    dispatch_source_s(int k, uintptr_t h, dispatch_queue_t q) : kind(k), handle(h), queue(q) {
        queue->retain();
    }
    ~dispatch_source_s() override { queue->release(); }

    void resume() override;
    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++suspendCount;
    }

    // Counts `count` events and schedules the handler unless one is already on its way.
    void addEvents(uintptr_t count) {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) return;
        pending += count;
        scheduleLocked();
    }

    void scheduleLocked() {
        if (handlerScheduled || suspendCount > 0 || cancelled || pending == 0) return;
        handlerScheduled = true;
        retain();
        queue->submit([this] { runHandler(); });
    }

    void runHandler() {
        dispatch_block_t handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!cancelled && suspendCount == 0) {
                currentData = pending;
                pending = 0;
                handler = eventHandler;
            }
        }
        if (handler) handler();
        dispatch_block_t cancelNow;
        {
            std::lock_guard<std::mutex> lock(mutex);
            handlerScheduled = false;
            if (cancelled) {
                cancelNow = takeCancelHandlerLocked();
            } else {
                scheduleLocked();
            }
        }
        if (cancelNow) cancelNow();
        release();
    }

    dispatch_block_t takeCancelHandlerLocked() {
        if (cancelHandlerDone) return nullptr;
        cancelHandlerDone = true;
        dispatch_block_t h = std::move(cancelHandler);
        cancelHandler = nullptr;
        eventHandler = nullptr;  // drop captured state now, as the source is finished
        return h ? h : [] {};
    }

    void armTimerLocked();
    void disarmLocked();
    void cancel();

    const int kind;
    const uintptr_t handle;
    dispatch_queue_t const queue;
    std::mutex mutex;
    dispatch_block_t eventHandler;
    dispatch_block_t cancelHandler;
    int suspendCount = 1;  // created suspended
    bool activated = false;
    bool cancelled = false;
    bool cancelHandlerDone = false;
    bool handlerScheduled = false;
    uintptr_t pending = 0;
    std::atomic<uintptr_t> currentData{0};
    // Timer parameters.
    bool timerSet = false;
    uint64_t start = 0, interval = DISPATCH_TIME_FOREVER, leeway = 0;
    uint64_t timerId = 0;
    uint64_t timerGeneration = 0;
    bool signalRegistered = false;
};

// ---------------------------------------------------------------------------------------
// Signals: a handler that counts and writes one byte to a pipe; a thread that reads the
// pipe and turns the counts into source events.

namespace {

constexpr int kMaxSignal = 65;
std::atomic<unsigned> gSignalCounts[kMaxSignal];
std::atomic<int> gSignalPipeWrite{-1};

void onSignal(int signo) {
    int saved = errno;
    if (signo > 0 && signo < kMaxSignal) gSignalCounts[signo].fetch_add(1, std::memory_order_relaxed);
    int fd = gSignalPipeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        char byte = 1;
        ssize_t ignored = write(fd, &byte, 1);  // a full pipe already has a wake-up pending
        (void)ignored;
    }
    errno = saved;
}

class SignalThread {
public:
    static SignalThread& shared() {
        static SignalThread* instance = new SignalThread;  // never destroyed
        return *instance;
    }

    void add(dispatch_source_s* s) {
        std::lock_guard<std::mutex> lock(mutex_);
        start();
        int signo = static_cast<int>(s->handle);
        auto& list = sources_[signo];
        if (list.empty()) {
            // Deliveries counted while no source listened belong to no one.
            gSignalCounts[signo].store(0, std::memory_order_relaxed);
            struct sigaction sa;
            std::memset(&sa, 0, sizeof sa);
            sa.sa_handler = onSignal;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESTART;
            sigaction(signo, &sa, &previous_[signo]);
        }
        s->retain();
        list.push_back(s);
    }

    void remove(dispatch_source_s* s) {
        dispatch_source_s* found = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            int signo = static_cast<int>(s->handle);
            auto& list = sources_[signo];
            auto it = std::find(list.begin(), list.end(), s);
            if (it == list.end()) return;
            found = *it;
            list.erase(it);
            if (list.empty()) sigaction(signo, &previous_[signo], nullptr);
        }
        found->release();
    }

private:
    void start() {
        if (readFd_ >= 0) return;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fatal("dispatch_source_create", "cannot create the signal pipe");
        readFd_ = fds[0];
        gSignalPipeWrite.store(fds[1]);
        std::thread([this] { loop(); }).detach();
    }

    void loop() {
        nameThread("dispatch-signal");
        for (;;) {
            pollfd p{readFd_, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) fatal("dispatch", "signal pipe failed");
            char buffer[64];
            while (read(readFd_, buffer, sizeof buffer) > 0) {
            }
            std::vector<std::pair<dispatch_source_s*, unsigned>> deliveries;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (int signo = 1; signo < kMaxSignal; ++signo) {
                    unsigned n = gSignalCounts[signo].exchange(0, std::memory_order_relaxed);
                    if (n == 0) continue;
                    for (dispatch_source_s* s : sources_[signo]) {
                        s->retain();
                        deliveries.emplace_back(s, n);
                    }
                }
            }
            for (auto& [s, n] : deliveries) {
                s->addEvents(n);
                s->release();
            }
        }
    }

    std::mutex mutex_;
    int readFd_ = -1;
    std::map<int, std::vector<dispatch_source_s*>> sources_;
    struct sigaction previous_[kMaxSignal];
};

}  // namespace

namespace {

// Schedules one fire of a timer source; periodic fires schedule the next one. Called with
// the source's mutex held. The scheduled fire holds a reference, dropped with it whether
// it runs or is cancelled.
void scheduleFire(dispatch_source_s* s, uint64_t deadline, uint64_t generation) {
    s->retain();
    std::shared_ptr<dispatch_source_s> hold(s, [](dispatch_source_s* x) { x->release(); });
    s->timerId = TimerThread::shared().schedule(deadline, [hold, deadline, generation](uint64_t now) {
        dispatch_source_s* src = hold.get();
        std::lock_guard<std::mutex> lock(src->mutex);
        if (src->timerGeneration != generation || src->cancelled) return;
        src->timerId = 0;
        uintptr_t fires = 1;
        bool periodic = src->interval != DISPATCH_TIME_FOREVER && src->interval > 0;
        if (periodic) {
            // Fires missed while late are counted in the data, not replayed.
            fires += static_cast<uintptr_t>((now - deadline) / src->interval);
        }
        src->pending += fires;
        src->scheduleLocked();
        if (periodic) scheduleFire(src, deadline + static_cast<uint64_t>(fires) * src->interval, generation);
    });
}

}  // namespace

void dispatch_source_s::armTimerLocked() {
    disarmLocked();
    if (!timerSet || cancelled || start == DISPATCH_TIME_FOREVER) return;
    uint64_t first = start == DISPATCH_TIME_NOW ? monotonicNow() : start;
    scheduleFire(this, first, ++timerGeneration);
}

void dispatch_source_s::disarmLocked() {
    ++timerGeneration;  // a fire already taken off the timer list sees a stale generation
    if (timerId != 0) {
        uint64_t id = timerId;
        timerId = 0;
        TimerThread::shared().cancel(id);
    }
}

void dispatch_source_s::resume() {
    bool registerSignal = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (suspendCount == 0) fatal("dispatch_resume", "source is not suspended");
        if (--suspendCount > 0) return;
        if (!activated) {
            activated = true;
            if (kind == 1) armTimerLocked();
            if (kind == 2 && !cancelled) registerSignal = signalRegistered = true;
        }
        scheduleLocked();
    }
    if (registerSignal) SignalThread::shared().add(this);
}

void dispatch_source_s::cancel() {
    bool unregister = false;
    dispatch_block_t cancelNow;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) return;
        cancelled = true;
        disarmLocked();
        unregister = signalRegistered;
        signalRegistered = false;
        if (!handlerScheduled) {
            // Run the cancel handler on the queue, as the event handler would be.
            handlerScheduled = true;
            retain();
            queue->submit([this] { runHandler(); });
        }
    }
    if (unregister) SignalThread::shared().remove(this);
}

namespace {

dispatch_source_s* checkedSource(dispatch_source_t s, const char* function) {
    if (s == nullptr) fatal(function, "NULL source");
    return s;
}

}  // namespace

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle, uintptr_t,
                                         dispatch_queue_t queue) {
    if (type == nullptr || queue == nullptr) return nullptr;
    if (type->kind == 2 && (handle == 0 || handle >= static_cast<uintptr_t>(kMaxSignal) ||
                            handle == SIGKILL || handle == SIGSTOP))
        return nullptr;
    if (type->kind != 1 && type->kind != 2) return nullptr;
    return new dispatch_source_s(type->kind, handle, queue);
}

void dispatch_source_set_timer(dispatch_source_t source, dispatch_time_t start, uint64_t interval,
                               uint64_t leeway) {
    dispatch_source_s* s = checkedSource(source, "dispatch_source_set_timer");
    if (s->kind != 1) fatal("dispatch_source_set_timer", "not a timer source");
    std::lock_guard<std::mutex> lock(s->mutex);
    s->timerSet = true;
    s->start = start;
    s->interval = interval;
    s->leeway = leeway;
    if (s->activated) s->armTimerLocked();
}

void dispatch_source_set_event_handler(dispatch_source_t source, dispatch_block_t handler) {
    dispatch_source_s* s = checkedSource(source, "dispatch_source_set_event_handler");
    std::lock_guard<std::mutex> lock(s->mutex);
    s->eventHandler = std::move(handler);
}

void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler) {
    dispatch_source_s* s = checkedSource(source, "dispatch_source_set_event_handler_f");
    std::lock_guard<std::mutex> lock(s->mutex);
    if (handler == nullptr) {
        s->eventHandler = nullptr;
        return;
    }
    s->eventHandler = [s, handler] { handler(s->context.load()); };
}

void dispatch_source_set_cancel_handler(dispatch_source_t source, dispatch_block_t handler) {
    dispatch_source_s* s = checkedSource(source, "dispatch_source_set_cancel_handler");
    std::lock_guard<std::mutex> lock(s->mutex);
    s->cancelHandler = std::move(handler);
}

void dispatch_source_cancel(dispatch_source_t source) {
    checkedSource(source, "dispatch_source_cancel")->cancel();
}

intptr_t dispatch_source_testcancel(dispatch_source_t source) {
    dispatch_source_s* s = checkedSource(source, "dispatch_source_testcancel");
    std::lock_guard<std::mutex> lock(s->mutex);
    return s->cancelled ? 1 : 0;
}

uintptr_t dispatch_source_get_data(dispatch_source_t source) {
    return checkedSource(source, "dispatch_source_get_data")->currentData.load();
}

uintptr_t dispatch_source_get_handle(dispatch_source_t source) {
    return checkedSource(source, "dispatch_source_get_handle")->handle;
}
