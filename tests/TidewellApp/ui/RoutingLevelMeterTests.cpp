// The channel level meter: what it draws for a level, a peak and a clip, how it is stepped,
// and its look in both schemes (grabs in test-artifacts/).

#include "UiTestSupport.h"

#include "TidewellApp/MeterClock.h"
#include "TidewellApp/RoutingLevelMeter.h"
#include "TidewellApp/Theme.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QGridLayout>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace tidewell;

namespace {

constexpr double t0 = 800'000'000.0;
const char* const owner = "source-1";

using Readings = std::map<std::string, RuntimeMeterStore::Reading, std::less<>>;

// How strongly a pixel is coloured (HSV saturation times value): the grey track is near 0,
// the bar's green and the red dot are high.
double colourfulness(QRgb pixel) {
    const QColor c(pixel);
    return c.hsvSaturationF() * c.valueF();
}

// A grab of a meter, read in points whatever the pixel ratio.
struct MeterPicture {
    QImage image;
    qreal ratio = 1;

    // The device pixel in the middle of the point (x, y).
    QRgb pixel(int x, int y) const {
        return image.pixel(int((x + 0.5) * ratio), int((y + 0.5) * ratio));
    }
    // The bar's drawn length along the middle row, in points: the pixels that are mostly bar.
    double barLength() const {
        int count = 0;
        const int row = int(3.5 * ratio);
        for (int x = 0; x < image.width(); ++x)
            if (colourfulness(image.pixel(x, row)) > 0.3) ++count;
        return count / ratio;
    }
};

// The time of the latest reading: the shared clock's own ticks (while a test waits for its
// window) read this time, so they repeat the test's last step rather than jump in time.
double fixtureTime = t0;

// A window with a meter at (10, 10) on the scheme's background, reading from its own cache.
struct MeterFixture {
    explicit MeterFixture(ColorScheme scheme = ColorScheme::light) : scheme(scheme) {
        MeterClock::shared().setTimeSource([] { return fixtureTime; });
        fixtureTime = t0;
        test::useScheme(scheme);
        test::fillWithBackground(host, scheme);
        host.resize(100, 27);
        meter = new RoutingLevelMeter(&host);
        meter->move(10, 10);
        meter->setReadingSource(meterTapSource(tap));
        meter->setOwnerID(owner);
        meter->setActive(true);
        host.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&host));
    }

    // Writes a reading of `levels` and `peaks` into the cache and steps the meter at `now`.
    void feed(std::vector<double> levels, std::vector<double> peaks, double now) {
        fixtureTime = now;
        tap.update(Readings{{owner, {std::move(levels), std::move(peaks)}}}, now);
        meter->step(now);
    }

    // The meter as drawn, 78 × 7 points, at the screen's pixel ratio.
    MeterPicture image() {
        QApplication::processEvents();
        const QImage grabbed = host.grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const qreal ratio = host.devicePixelRatioF();
        return {grabbed.copy(QRectF(10 * ratio, 10 * ratio, 78 * ratio, 7 * ratio).toRect()), ratio};
    }

    ColorScheme scheme;
    MeterTap tap;
    QWidget host;
    RoutingLevelMeter* meter = nullptr;
};

bool isRed(QRgb pixel) {
    const QColor c(pixel);
    return c.redF() > 0.75 && c.greenF() < 0.45 && c.blueF() < 0.45;
}

}  // namespace

TEST(RoutingLevelMeterTest, AppliedStateCoversBarTickAndClip) {
    using Levels = MeterBallistics::Levels;
    const auto barOnly = RoutingLevelMeter::appliedState(Levels{0.05, 0, false}, 78, 7);
    EXPECT_DOUBLE_EQ(barOnly.barWidth, 7) << "never narrower than the meter is high";
    EXPECT_DOUBLE_EQ(barOnly.tickX, -1);
    EXPECT_DOUBLE_EQ(RoutingLevelMeter::appliedState(Levels{0.001, 0, false}, 78, 7).barWidth, -1);
    EXPECT_DOUBLE_EQ(RoutingLevelMeter::appliedState(Levels{0.5, 0, false}, 78, 7).barWidth, 39);

    EXPECT_DOUBLE_EQ(RoutingLevelMeter::appliedState(Levels{0, 0.02, false}, 78, 7).tickX, -1);
    const auto faint = RoutingLevelMeter::appliedState(Levels{0, 0.03, false}, 78, 7);
    EXPECT_NEAR(faint.tickX, 2.34, 1e-12);
    EXPECT_NEAR(faint.tickOpacity, 0.12, 1e-12);
    const auto full = RoutingLevelMeter::appliedState(Levels{1, 1, true}, 78, 7);
    EXPECT_DOUBLE_EQ(full.tickX, 76.5);
    EXPECT_DOUBLE_EQ(full.tickOpacity, 1.0);
    EXPECT_TRUE(full.clipped);
}

TEST(RoutingLevelMeterTest, TheBarFollowsTheLevelWithinOnePixel) {
    MeterFixture f;
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {  // the run at another pixel ratio
        ASSERT_EQ(f.host.devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR").toDouble());
    }
    // Each level on a fresh meter (the first step shows the level at once).
    for (const double level : {0.002, 0.01, 0.05, 0.1, 0.3, 0.5, 0.8, 1.0}) {
        MeterFixture fresh;
        fresh.feed({level}, {0}, t0);
        const double expected = std::max(meterScale(level) * 78, 7.0);
        EXPECT_NEAR(fresh.image().barLength(), expected, 1.0) << "level " << level;
    }
    // One meter following a level that drops: 0.25 s later the bar is 0.1 of the scale
    // (7.8 px) shorter.
    f.feed({0.5}, {0}, t0);
    const double before = f.image().barLength();
    f.feed({0.001}, {0}, t0 + 0.25);
    EXPECT_NEAR(f.image().barLength(), (meterScale(0.5) - 0.1) * 78, 1.0);
    EXPECT_LT(f.image().barLength(), before);
    // Silence long enough empties it.
    for (double t = t0 + 0.5; t < t0 + 3; t += 0.25) f.feed({0}, {0}, t);
    EXPECT_EQ(f.image().barLength(), 0);
}

TEST(RoutingLevelMeterTest, ThePeakTickSitsAtThePeakAboveTheBar) {
    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        MeterFixture f(scheme);
        f.feed({0.01}, {0.5}, t0);  // bar at 1/3 (26 px), tick at 0.8997 (70.2 px)
        const MeterPicture meter = f.image();
        const QRgb track = meter.pixel(50, 3);
        const QRgb tick = meter.pixel(70, 3);
        // The tick is the label colour: darker than the track in light, lighter in dark.
        if (scheme == ColorScheme::light)
            EXPECT_LT(qGray(tick) + 40, qGray(track));
        else
            EXPECT_GT(qGray(tick), qGray(track) + 40);
        EXPECT_NEAR(meter.barLength(), 26, 1.0);
        EXPECT_FALSE(isRed(tick));
        EXPECT_FALSE(isRed(meter.pixel(74, 3))) << "no clip dot";
        EXPECT_NEAR(f.meter->shownState().tickX, meterScale(0.5) * 78, 1e-9);
    }
}

TEST(RoutingLevelMeterTest, AClippingSampleLightsTheDotForOneSecond) {
    MeterFixture f;
    f.feed({0.01}, {0.99}, t0);
    MeterPicture meter = f.image();
    EXPECT_TRUE(isRed(meter.pixel(74, 3))) << "red dot in the rightmost 7 x 7 square";
    EXPECT_TRUE(isRed(meter.pixel(72, 3)));
    EXPECT_FALSE(isRed(meter.pixel(68, 3)));
    EXPECT_TRUE(f.meter->shownState().clipped);

    f.feed({0.01}, {0.01}, t0 + 0.9);
    EXPECT_TRUE(isRed(f.image().pixel(74, 3)));
    f.feed({0.01}, {0.01}, t0 + 1.0);
    EXPECT_FALSE(isRed(f.image().pixel(74, 3)));
}

TEST(RoutingLevelMeterTest, AnInactiveMeterReadsNothingAndHidesItsStub) {
    MeterFixture f;
    f.feed({0}, {0}, t0);
    const double stubLive = colourfulness(f.image().pixel(3, 3));
    EXPECT_GT(stubLive, 0.05) << "the green stub marks a live meter";

    f.meter->setActive(false);
    f.feed({1.0}, {1.0}, t0 + 0.1);
    const MeterPicture inactive = f.image();
    EXPECT_EQ(inactive.barLength(), 0);
    EXPECT_LT(colourfulness(inactive.pixel(3, 3)), 0.02);
    EXPECT_FALSE(isRed(inactive.pixel(74, 3)));
}

TEST(RoutingLevelMeterTest, ChannelsOutsideTheReadingAndStaleReadingsAreSilent) {
    MeterFixture f;
    f.meter->setChannelIndex(1);
    f.feed({0.5, 0.1}, {0.5, 0.1}, t0);
    EXPECT_NEAR(f.meter->ballistics().bar(), meterScale(0.1), 1e-12) << "index 1 is channel 2";

    for (const int index : {2, -1}) {
        MeterFixture g;
        g.meter->setChannelIndex(index);
        g.feed({0.5, 0.5}, {0.5, 0.5}, t0);
        EXPECT_DOUBLE_EQ(g.meter->ballistics().bar(), 0) << index;
        EXPECT_DOUBLE_EQ(g.meter->ballistics().peak(), 0) << index;
    }
    // A reading that stopped changing 0.3 s ago counts as silence.
    MeterFixture stale;
    stale.feed({0.5}, {0.5}, t0);
    stale.meter->step(t0 + 0.25);
    stale.meter->step(t0 + 0.5);
    EXPECT_NEAR(stale.meter->ballistics().bar(), meterScale(0.5) - 0.1, 1e-12);
}

TEST(RoutingLevelMeterTest, RepaintsOnlyWhenWhatItShowsChanges) {
    MeterFixture f;
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints;
            return false;
        }
    } counter;
    f.meter->installEventFilter(&counter);
    f.feed({0.5}, {0.5}, t0);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 1);
    EXPECT_FALSE(f.meter->needsReapply());

    f.feed({0.5}, {0.5}, t0 + 0.03);  // same level, same picture
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 1);

    // A new size or palette makes the next step apply again.
    f.meter->resize(60, 7);
    EXPECT_TRUE(f.meter->needsReapply());
    f.feed({0.5}, {0.5}, t0 + 0.06);
    EXPECT_NEAR(f.meter->shownState().barWidth, meterScale(0.5) * 60, 1e-9);
    f.meter->setPalette(QPalette(Qt::darkGray));
    EXPECT_TRUE(f.meter->needsReapply());
}

TEST(RoutingLevelMeterTest, AHiddenOrDetachedMeterIsNotStepped) {
    MeterFixture f;
    f.feed({0.5}, {0}, t0);
    f.host.hide();
    f.meter->step(t0 + 5);
    EXPECT_DOUBLE_EQ(f.meter->ballistics().lastTime(), t0) << "the ballistics stand still";
    f.host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.host));
    f.feed({0}, {0}, t0 + 10);
    EXPECT_NEAR(f.meter->ballistics().bar(), meterScale(0.5) - 0.1, 1e-12) << "capped at 0.25 s";

    RoutingLevelMeter detached;
    detached.setReadingSource(meterTapSource(f.tap));
    detached.setOwnerID(owner);
    detached.setActive(true);
    detached.step(t0 + 11);
    EXPECT_DOUBLE_EQ(detached.ballistics().lastTime(), 0);
}

TEST(RoutingLevelMeterTest, TheSharedClockStepsLiveMeters) {
    MeterFixture f;
    MeterClock::shared().setTimeSource({});
    f.tap.update(Readings{{owner, {{0.5}, {0.5}}}}, meterClockNow());
    ASSERT_TRUE(MeterClock::shared().isRunning());
    // Keep the reading fresh while the clock runs on its own.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            f.tap.update(Readings{{owner, {{0.5}, {0.5}}}}, meterClockNow());
            return f.meter->ballistics().bar() > 0.5;
        },
        5000));
    EXPECT_NEAR(f.meter->ballistics().bar(), meterScale(0.5), 1e-6);
}

TEST(RoutingLevelMeterTest, GrabsInLightAndDark) {
    MeterClock::shared().setTimeSource([] { return t0; });
    for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        test::useScheme(scheme);
        QWidget sheet;
        test::fillWithBackground(sheet, scheme);
        auto* grid = new QGridLayout(&sheet);
        grid->setContentsMargins(12, 12, 12, 12);
        grid->setHorizontalSpacing(12);
        MeterTap tap;
        Readings readings;
        struct Row {
            const char* label;
            double level, peak;
            bool active;
        };
        const Row rows[] = {{"inactive", 0, 0, false},     {"silent", 0, 0, true},
                            {"-40 dB, peak -30", 0.01, 0.0316, true},
                            {"-20 dB, peak -12", 0.1, 0.25, true},
                            {"-6 dB, peak -1", 0.5, 0.89, true},
                            {"-2 dB, clipping", 0.8, 1.0, true}};
        std::vector<RoutingLevelMeter*> meters;
        int r = 0;
        for (const Row& row : rows) {
            const std::string id = "owner" + std::to_string(r);
            readings[id] = {{row.level}, {row.peak}};
            auto* label = new QLabel(QString::fromLatin1(row.label));
            label->setFont(Theme::font(11));
            grid->addWidget(label, r, 0);
            auto* meter = new RoutingLevelMeter;
            meter->setReadingSource(meterTapSource(tap));
            meter->setOwnerID(id);
            meter->setActive(row.active);
            grid->addWidget(meter, r, 1);
            meters.push_back(meter);
            ++r;
        }
        tap.update(readings, t0);
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        for (auto* meter : meters) meter->step(t0);
        const QImage image = test::grabShown(sheet);
        test::saveArtifact(image, "RoutingLevelMeter-" + test::schemeName(scheme));
        test::saveArtifact(image.scaled(image.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation),
                           "RoutingLevelMeter-" + test::schemeName(scheme) + "-x4");
        for (auto* meter : meters) EXPECT_EQ(meter->size(), QSize(78, 7));
    }
}
