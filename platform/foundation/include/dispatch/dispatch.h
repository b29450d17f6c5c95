// A small dispatch layer: serial queues with asynchronous and synchronous work, a
// concurrent global queue, delayed work, timer sources and signal sources.
//
// Work items are C++ callables (dispatch_block_t) or a C function with a context
// (the _f forms). Objects are reference counted with dispatch_retain/dispatch_release;
// a queue or source stays alive while it has work pending, so releasing it right after
// submitting work is fine. Sources are created suspended: set their handlers, then
// dispatch_resume them once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

using dispatch_block_t = std::function<void()>;
using dispatch_function_t = void (*)(void* context);
using dispatch_time_t = uint64_t;

struct dispatch_object_s;
struct dispatch_queue_s;
struct dispatch_source_s;
using dispatch_object_t = dispatch_object_s*;
using dispatch_queue_t = dispatch_queue_s*;
using dispatch_source_t = dispatch_source_s*;

struct dispatch_queue_attr_s;
using dispatch_queue_attr_t = const dispatch_queue_attr_s*;
#define DISPATCH_QUEUE_SERIAL (static_cast<dispatch_queue_attr_t>(nullptr))

// Time values are host-clock nanoseconds (CLOCK_MONOTONIC).
#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)
#define NSEC_PER_SEC 1000000000ull
#define NSEC_PER_MSEC 1000000ull
#define NSEC_PER_USEC 1000ull
#define USEC_PER_SEC 1000000ull
#define MSEC_PER_SEC 1000ull

#define DISPATCH_QUEUE_PRIORITY_HIGH 2
#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0
#define DISPATCH_QUEUE_PRIORITY_LOW (-2)
#define DISPATCH_QUEUE_PRIORITY_BACKGROUND (-32768)

// `when` plus delta nanoseconds; DISPATCH_TIME_NOW means the current time. A result that
// would overflow, or a negative one, saturates at DISPATCH_TIME_FOREVER or now.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

// A serial queue: items run one at a time, in submission order, on the queue's own
// thread (named after the label, cut to 15 characters). Returns +1.
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
const char* dispatch_queue_get_label(dispatch_queue_t queue);
// The process-wide concurrent queue (every priority maps to it). Never freed;
// retain/release do nothing on it.
dispatch_queue_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
// Runs the work on the queue and returns after it ran. On a serial queue no other item
// of the queue runs at the same time. Calling it from the queue's own work would wait
// for itself forever: that aborts the process with a message instead.
void dispatch_sync(dispatch_queue_t queue, const dispatch_block_t& block);
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
// Submits the work to the queue at (not before) `when`. DISPATCH_TIME_FOREVER never runs.
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);

// Exclusive entry for a thread that must run work "as" a serial queue without blocking
// (an audio IO thread running an IO block registered with the queue): on success, no
// item of the queue runs until dispatch_queue_leave_np. Never blocks, takes no lock and
// allocates nothing; returns false while an item of the queue is running. The global
// queue always refuses.
bool dispatch_queue_try_enter_np(dispatch_queue_t queue);
void dispatch_queue_leave_np(dispatch_queue_t queue);

void dispatch_retain(dispatch_object_t object);
void dispatch_release(dispatch_object_t object);
// A new source starts suspended and must be resumed once. Suspending a running source
// holds back its events (they accumulate) until it is resumed.
void dispatch_resume(dispatch_object_t object);
void dispatch_suspend(dispatch_object_t object);

// Converts queue and source handles to the common object handle.
inline dispatch_object_t dispatch_object_cast(dispatch_queue_t q) {
    return reinterpret_cast<dispatch_object_t>(q);
}
inline dispatch_object_t dispatch_object_cast(dispatch_source_t s) {
    return reinterpret_cast<dispatch_object_t>(s);
}
inline void dispatch_retain(dispatch_queue_t q) { dispatch_retain(dispatch_object_cast(q)); }
inline void dispatch_release(dispatch_queue_t q) { dispatch_release(dispatch_object_cast(q)); }
inline void dispatch_retain(dispatch_source_t s) { dispatch_retain(dispatch_object_cast(s)); }
inline void dispatch_release(dispatch_source_t s) { dispatch_release(dispatch_object_cast(s)); }
inline void dispatch_resume(dispatch_source_t s) { dispatch_resume(dispatch_object_cast(s)); }
inline void dispatch_suspend(dispatch_source_t s) { dispatch_suspend(dispatch_object_cast(s)); }

// Source types.
struct dispatch_source_type_s;
using dispatch_source_type_t = const dispatch_source_type_s*;
extern const dispatch_source_type_s dispatch_source_type_timer_s;
extern const dispatch_source_type_s dispatch_source_type_signal_s;
// A timer: fires at its start time, then every interval (DISPATCH_TIME_FOREVER: once).
#define DISPATCH_SOURCE_TYPE_TIMER (&dispatch_source_type_timer_s)
// A signal: handle is the signal number. While a signal source of that number is
// resumed, the signal no longer has its default action; every delivery is counted and
// the handler runs on the source's queue.
#define DISPATCH_SOURCE_TYPE_SIGNAL (&dispatch_source_type_signal_s)

// NULL for an unknown type, a bad signal number or a NULL queue. Returns +1.
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue);
// Start is a dispatch_time value. Leeway is how late a fire may be; this layer fires as
// close to the deadline as the system lets it, so leeway is an upper bound it meets.
void dispatch_source_set_timer(dispatch_source_t source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway);
void dispatch_source_set_event_handler(dispatch_source_t source, dispatch_block_t handler);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_source_set_cancel_handler(dispatch_source_t source, dispatch_block_t handler);
// Stops further events; the cancel handler runs on the source's queue after any
// running event handler returned.
void dispatch_source_cancel(dispatch_source_t source);
intptr_t dispatch_source_testcancel(dispatch_source_t source);
// Inside an event handler: the number of fires (timer) or deliveries (signal) that this
// handler run accounts for.
uintptr_t dispatch_source_get_data(dispatch_source_t source);
uintptr_t dispatch_source_get_handle(dispatch_source_t source);
// The context given to _f handlers (defaults to NULL).
void dispatch_set_context(dispatch_object_t object, void* context);
inline void dispatch_set_context(dispatch_source_t s, void* context) {
    dispatch_set_context(dispatch_object_cast(s), context);
}
