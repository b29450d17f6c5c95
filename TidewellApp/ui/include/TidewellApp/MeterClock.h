#pragma once
// The one clock that animates every level meter: a 30 Hz main-thread timer that steps each
// live subscriber with the current time. It runs while at least one subscriber lives, forgets
// subscribers that are gone on every tick, and stops at the first tick that finds none.

#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

class QTimer;

namespace tidewell {

// Seconds since 2001-01-01 00:00:00 UTC, the time base of the meter cache.
double meterClockNow();

class MeterClock : public QObject {
    Q_OBJECT
public:
    using Step = std::function<void(double now)>;

    // The clock of the application, created on first use on the main thread.
    static MeterClock& shared();

    // Steps `step` on every tick for as long as `subscriber` lives, and starts the clock when
    // it is stopped. Subscribing an object again replaces its step.
    void subscribe(QObject* subscriber, Step step);

    // Starts the timer unless it runs.
    void startIfNeeded();
    bool isRunning() const;

    // Steps every live subscriber with `now`, in subscription order; drops the ones that are
    // gone, and stops the timer when none lives.
    void tick(double now);
    // A tick at the time source's time.
    void tick();

    // Where the timer's ticks read the time: meterClockNow() unless replaced (tests and
    // benchmarks that step meters on their own clock); an empty function restores it.
    void setTimeSource(std::function<double()> source);

    // The entries held, live or not yet dropped.
    std::size_t subscriberCount() const { return subscribers_.size(); }

private:
    MeterClock();

    struct Subscriber {
        QPointer<QObject> object;
        Step step;
    };
    std::vector<Subscriber> subscribers_;
    QTimer* timer_ = nullptr;
    std::function<double()> timeSource_;
};

}  // namespace tidewell
