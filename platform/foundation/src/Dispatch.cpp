// Queues run on ordinary threads: one lazily started thread per serial queue, a small
// pool for the global queue, one thread for every timer and delayed item, and one that
// turns signals into source events.
#include <dispatch/dispatch.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

struct dispatch_source_type_s {
    int kind;
};
const dispatch_source_type_s dispatch_source_type_timer_s{1};
const dispatch_source_type_s dispatch_source_type_signal_s{2};

namespace {

[[noreturn]] void fatal(const char* function, const char* problem) {
    std::fprintf(stderr, "%s: %s\n", function, problem);
    std::fflush(stderr);
    std::abort();
}

uint64_t monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NSEC_PER_SEC + static_cast<uint64_t>(ts.tv_nsec);
}

void nameThread(const std::string& label) {
    // The kernel keeps 15 characters.
    std::string name = label.substr(0, 15);
    if (!name.empty()) pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace

struct dispatch_object_s {
    virtual ~dispatch_object_s() = default;
    virtual void resume() = 0;
    virtual void suspend() = 0;
    void retain() {
        if (!immortal) refs.fetch_add(1, std::memory_order_relaxed);
    }
    void release() {
        if (!immortal) dropReference();
    }
    // Called while the caller still holds its reference, so the object is alive for the
    // virtual call; the implementation must not touch the object after giving it up.
    virtual void dropReference() {
        int before = refs.fetch_sub(1, std::memory_order_acq_rel);
        if (before == 1) {
            delete this;
        } else if (before <= 0) {
            fatal("dispatch_release", "object released more often than retained");
        }
    }

    std::atomic<int> refs{1};
    std::atomic<void*> context{nullptr};
    bool immortal = false;
};

namespace {
thread_local dispatch_queue_s* tCurrentQueue = nullptr;
}

struct dispatch_queue_s : dispatch_object_s {
    dispatch_queue_s(const char* l, bool isConcurrent)
        : label(l ? l : ""), concurrent(isConcurrent) {
        maxWorkers = concurrent ? static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 4u, 16u)) : 1;
    }

    void submit(dispatch_block_t work) {
        std::unique_lock<std::mutex> lock(mutex);
        items.push_back(std::move(work));
        if (suspendCount == 0 && idle == 0 && workers < maxWorkers) {
            ++workers;
            retain();  // each worker holds the queue
            std::thread([this] { workerLoop(); }).detach();
        } else {
            wake.notify_one();
        }
    }

    void workerLoop() {
        nameThread(label);
        tCurrentQueue = this;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (items.empty() || suspendCount > 0) {
                // A serial queue's thread ends when only it still holds the queue; the global
                // queue's threads never end.
                if (items.empty() && !immortal && refs.load(std::memory_order_acquire) == workers) break;
                ++idle;
                wake.wait(lock);
                --idle;
                continue;
            }
            dispatch_block_t work = std::move(items.front());
            items.pop_front();
            lock.unlock();
            if (!concurrent) {
                // Wait out an IO thread that entered the queue exclusively; those hold it
                // for one IO cycle at most.
                bool expected = false;
                while (!busy.compare_exchange_weak(expected, true, std::memory_order_acquire)) {
                    expected = false;
                    std::this_thread::yield();
                }
            }
            work();
            work = nullptr;  // destroy captured state before the queue may go away
            if (!concurrent) busy.store(false, std::memory_order_release);
            lock.lock();
        }
        --workers;
        lock.unlock();
        tCurrentQueue = nullptr;
        release();
    }

    // Releases count down under the queue's lock, so the thread that takes the count to
    // zero (and deletes) cannot do so while another releaser still holds the lock, and a
    // worker waiting for the last outside reference to go is woken reliably.
    void dropReference() override {
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex);
            int remaining = refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
            if (remaining < 0) fatal("dispatch_release", "queue released more often than retained");
            last = remaining == 0;
            if (!last && remaining == workers) wake.notify_all();
        }
        if (last) delete this;
    }

    void resume() override {
        std::lock_guard<std::mutex> lock(mutex);
        if (suspendCount == 0) fatal("dispatch_resume", "queue is not suspended");
        if (--suspendCount == 0) {
            if (!items.empty() && workers == 0) {
                ++workers;
                retain();
                std::thread([this] { workerLoop(); }).detach();
            }
            wake.notify_all();
        }
    }

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++suspendCount;
    }

    const std::string label;
    const bool concurrent;
    int maxWorkers;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<dispatch_block_t> items;
    int workers = 0;
    int idle = 0;
    int suspendCount = 0;
    std::atomic<bool> busy{false};
};

// ---------------------------------------------------------------------------------------
// Timers and delayed work: one thread waiting for the earliest deadline.

namespace {

class TimerThread {
public:
    static TimerThread& shared() {
        static TimerThread* instance = new TimerThread;  // never destroyed
        return *instance;
    }

    // Returns an id for cancel().
    uint64_t schedule(uint64_t deadline, std::function<void(uint64_t)> fire) {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t id = ++nextId_;
        entries_.emplace(deadline, std::make_pair(id, std::move(fire)));
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        wake_.notify_one();
        return id;
    }

    void cancel(uint64_t id) {
        std::function<void(uint64_t)> dropped;
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.first == id) {
                dropped = std::move(it->second.second);
                entries_.erase(it);
                break;
            }
        }
    }

private:
    void loop() {
        nameThread("dispatch-timers");
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                wake_.wait(lock);
                continue;
            }
            uint64_t now = monotonicNow();
            auto first = entries_.begin();
            if (first->first > now) {
                // steady_clock is CLOCK_MONOTONIC, the clock of the deadlines.
                auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(first->first));
                wake_.wait_until(lock, until);
                continue;
            }
            auto fire = std::move(first->second.second);
            entries_.erase(first);
            lock.unlock();
            fire(now);
            fire = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<uint64_t, std::pair<uint64_t, std::function<void(uint64_t)>>> entries_;
    uint64_t nextId_ = 0;
    bool started_ = false;
};

}  // namespace

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

// ---------------------------------------------------------------------------------------
// The public calls.

namespace {

dispatch_queue_s* globalQueue() {
    static dispatch_queue_s* q = [] {
        auto* g = new dispatch_queue_s("dispatch-global", true);  // never destroyed
        g->immortal = true;
        return g;
    }();
    return q;
}

dispatch_queue_s* checkedQueue(dispatch_queue_t q, const char* function) {
    if (q == nullptr) fatal(function, "NULL queue");
    return q;
}

dispatch_source_s* checkedSource(dispatch_source_t s, const char* function) {
    if (s == nullptr) fatal(function, "NULL source");
    return s;
}

void runSync(dispatch_queue_s* q, const dispatch_block_t& block) {
    if (q->concurrent) {
        block();
        return;
    }
    if (tCurrentQueue == q)
        fatal("dispatch_sync", "called from the queue it waits for (this would never return)");
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    q->submit([&] {
        block();
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
}

}  // namespace

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
    if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
    uint64_t base = when == DISPATCH_TIME_NOW ? monotonicNow() : when;
    if (delta >= 0) {
        uint64_t d = static_cast<uint64_t>(delta);
        return base > DISPATCH_TIME_FOREVER - 1 - d ? DISPATCH_TIME_FOREVER : base + d;
    }
    uint64_t d = static_cast<uint64_t>(-(delta + 1)) + 1;
    return base > d ? base - d : 1;  // 0 would read as "now"
}

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t) {
    return new dispatch_queue_s(label, false);
}

const char* dispatch_queue_get_label(dispatch_queue_t queue) {
    return checkedQueue(queue, "dispatch_queue_get_label")->label.c_str();
}

dispatch_queue_t dispatch_get_global_queue(intptr_t, uintptr_t) { return globalQueue(); }

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block) {
    checkedQueue(queue, "dispatch_async")->submit(std::move(block));
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
    checkedQueue(queue, "dispatch_async_f")->submit([context, work] { work(context); });
}

void dispatch_sync(dispatch_queue_t queue, const dispatch_block_t& block) {
    runSync(checkedQueue(queue, "dispatch_sync"), block);
}

void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
    runSync(checkedQueue(queue, "dispatch_sync_f"), [context, work] { work(context); });
}

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block) {
    dispatch_queue_s* q = checkedQueue(queue, "dispatch_after");
    if (when == DISPATCH_TIME_FOREVER) return;
    if (when == DISPATCH_TIME_NOW) {
        q->submit(std::move(block));
        return;
    }
    q->retain();
    std::shared_ptr<dispatch_queue_s> hold(q, [](dispatch_queue_s* x) { x->release(); });
    auto shared = std::make_shared<dispatch_block_t>(std::move(block));
    TimerThread::shared().schedule(when, [hold, shared](uint64_t) { hold->submit(std::move(*shared)); });
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
    dispatch_after(when, queue, [context, work] { work(context); });
}

bool dispatch_queue_try_enter_np(dispatch_queue_t queue) {
    if (queue == nullptr || queue->concurrent) return false;
    bool expected = false;
    return queue->busy.compare_exchange_strong(expected, true, std::memory_order_acquire);
}

void dispatch_queue_leave_np(dispatch_queue_t queue) {
    if (queue != nullptr) queue->busy.store(false, std::memory_order_release);
}

void dispatch_retain(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_retain", "NULL object");
    object->retain();
}

void dispatch_release(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_release", "NULL object");
    object->release();
}

void dispatch_resume(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_resume", "NULL object");
    object->resume();
}

void dispatch_suspend(dispatch_object_t object) {
    if (object == nullptr) fatal("dispatch_suspend", "NULL object");
    object->suspend();
}

void dispatch_set_context(dispatch_object_t object, void* context) {
    if (object == nullptr) fatal("dispatch_set_context", "NULL object");
    object->context.store(context);
}

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
