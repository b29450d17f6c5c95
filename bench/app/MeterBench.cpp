// 64 channel meters animated by the shared 30 Hz clock on the offscreen platform, every meter
// changing on every frame (the worst case: nothing settles). Target: under 5 % of one core.
//
//   meter_bench                  per frame: readings in, one clock tick, the repaint
//   core_percent counter         process CPU time over wall time while the real clock runs

#include "TidewellApp/MeterClock.h"
#include "TidewellApp/RoutingLevelMeter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGridLayout>
#include <QTimer>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cmath>
#include <ctime>
#include <memory>

using namespace tidewell;

namespace {

constexpr int meterCount = 64;
using Readings = std::map<std::string, RuntimeMeterStore::Reading, std::less<>>;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A window of 64 meters (a column of rows, as on the canvas), fed from one cache.
struct MeterWall {
    MeterWall() {
        auto* grid = new QGridLayout(&window);
        for (int i = 0; i < meterCount; ++i) {
            auto* meter = new RoutingLevelMeter;
            meter->setReadingSource(meterTapSource(tap));
            meter->setOwnerID("owner" + std::to_string(i / 8));
            meter->setChannelIndex(i % 8);
            meter->setActive(true);
            grid->addWidget(meter, i % 16, i / 16);
        }
        window.show();
        QApplication::processEvents();
    }

    // New readings for frame `frame`: every channel moves, with a peak above it.
    void feed(long frame, double now) {
        Readings readings;
        for (int owner = 0; owner < meterCount / 8; ++owner) {
            RuntimeMeterStore::Reading reading;
            for (int c = 0; c < 8; ++c) {
                const double phase = 0.21 * double(frame) + 0.7 * (owner * 8 + c);
                const double level = 0.02 + 0.4 * (1 + std::sin(phase));
                reading.levels.push_back(level);
                reading.peaks.push_back(std::min(1.0, level * 1.6));
            }
            readings["owner" + std::to_string(owner)] = std::move(reading);
        }
        tap.update(readings, now);
    }

    MeterTap tap;
    QWidget window;
};

void BM_MeterFrame(benchmark::State& state) {
    MeterWall wall;
    long frame = 0;
    double now = meterClockNow();
    MeterClock::shared().setTimeSource([&now] { return now; });  // the timer's own ticks too
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        now += 1.0 / 30.0;
        wall.feed(++frame, now);
        MeterClock::shared().tick(now);
        QApplication::processEvents();  // the repaint
    }
    // One frame every 1/30 s: the share of one core at 30 Hz.
    const double cpuPerFrame = (processCpuSeconds() - cpuStart) / double(state.iterations());
    state.counters["core_percent_at_30Hz"] = cpuPerFrame * 30.0 * 100.0;
    MeterClock::shared().setTimeSource({});
}
BENCHMARK(BM_MeterFrame)->Unit(benchmark::kMicrosecond);

void BM_MeterClockRunning(benchmark::State& state) {
    MeterWall wall;
    long frame = 0;
    // Readings arrive about every 33 ms, as the meter model writes them.
    QTimer feeder;
    QObject::connect(&feeder, &QTimer::timeout, [&] { wall.feed(++frame, meterClockNow()); });
    feeder.start(33);
    double cpu = 0, wallSeconds = 0;
    for (auto _ : state) {
        QElapsedTimer elapsed;
        elapsed.start();
        const double cpuStart = processCpuSeconds();
        QEventLoop loop;
        QTimer::singleShot(2000, &loop, &QEventLoop::quit);
        loop.exec();
        cpu += processCpuSeconds() - cpuStart;
        wallSeconds += double(elapsed.nsecsElapsed()) / 1e9;
    }
    state.counters["core_percent"] = 100.0 * cpu / wallSeconds;
    state.counters["frames"] = double(frame);
}
BENCHMARK(BM_MeterClockRunning)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
