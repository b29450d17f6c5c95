#include "TidewellApp/MeterClock.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>

namespace tidewell {

namespace {

// 2001-01-01 00:00:00 UTC in milliseconds since 1970.
constexpr qint64 referenceDateMs = 978307200000LL;

}  // namespace

double meterClockNow() {
    return double(QDateTime::currentMSecsSinceEpoch() - referenceDateMs) / 1000.0;
}

MeterClock& MeterClock::shared() {
    static MeterClock* clock = new MeterClock;  // lives for the whole run
    return *clock;
}

MeterClock::MeterClock() = default;

void MeterClock::subscribe(QObject* subscriber, Step step) {
    if (!subscriber) return;
    const auto existing =
        std::find_if(subscribers_.begin(), subscribers_.end(),
                     [&](const Subscriber& s) { return s.object == subscriber; });
    if (existing != subscribers_.end())
        existing->step = std::move(step);
    else
        subscribers_.push_back({subscriber, std::move(step)});
    startIfNeeded();
}

void MeterClock::startIfNeeded() {
    if (timer_) return;
    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(1000 / 30);
    connect(timer_, &QTimer::timeout, this, [this] { tick(); });
    timer_->start();
}

void MeterClock::tick() { tick(timeSource_ ? timeSource_() : meterClockNow()); }

void MeterClock::setTimeSource(std::function<double()> source) { timeSource_ = std::move(source); }

bool MeterClock::isRunning() const { return timer_ != nullptr; }

void MeterClock::tick(double now) {
    // Drop the dead first, so rebuilt rows never grow the list.
    std::erase_if(subscribers_, [](const Subscriber& s) { return s.object.isNull(); });
    // A step may subscribe or destroy meters; step a copy and re-check each one.
    const std::vector<Subscriber> current = subscribers_;
    bool anyLive = false;
    for (const Subscriber& s : current) {
        if (s.object.isNull()) continue;
        anyLive = true;
        s.step(now);
    }
    if (!anyLive) {
        subscribers_.clear();
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
            timer_ = nullptr;
        }
    }
}

}  // namespace tidewell
