// A level published into a meter region, as a helper or the plug-in writes it, read back the
// way the meter model does (region → meter cache) and drawn by the level meter.

#include "UiTestSupport.h"

#include "TidewellApp/MeterClock.h"
#include "TidewellApp/RoutingLevelMeter.h"
#include "TidewellCore/RuntimeMeterStore.h"
#include "TidewellStream/TidewellMeterWriter.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

using namespace tidewell;

namespace {

double now = 800'000'000.0;

// The bar's length in points along the meter's middle row.
double barLength(QWidget& host, const RoutingLevelMeter& meter) {
    QApplication::processEvents();
    const QImage image = host.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const qreal ratio = host.devicePixelRatioF();
    const int row = int((meter.y() + 3.5) * ratio);
    int count = 0;
    for (int x = int(meter.x() * ratio); x < int((meter.x() + meter.width()) * ratio); ++x) {
        const QColor c(image.pixel(x, row));
        if (c.hsvSaturationF() * c.valueF() > 0.3) ++count;
    }
    return count / ratio;
}

}  // namespace

TEST(RoutingLevelMeterRegionTest, TheBarFollowsALevelWrittenIntoAMeterRegion) {
    const std::string owner = "level-meter-view-" + std::to_string(getpid());
    char name[32];
    ASSERT_TRUE(TidewellMeterName(RuntimeMeterStore::ownerHash(owner), name, sizeof name));
    shm_unlink(name);
    TidewellMeterWriter writer{};
    ASSERT_TRUE(TidewellMeterWriterOpen(&writer, owner.c_str(), 2));

    MeterClock::shared().setTimeSource([] { return now; });
    test::useScheme(ColorScheme::light);
    QWidget host;
    test::fillWithBackground(host, ColorScheme::light);
    host.resize(100, 27);
    MeterTap tap;
    auto* meter = new RoutingLevelMeter(&host);
    meter->move(10, 10);
    meter->setReadingSource(meterTapSource(tap));
    meter->setOwnerID(owner);
    meter->setChannelIndex(1);
    meter->setActive(true);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));

    // One frame: the writer publishes, the region is read into the cache, the meter steps.
    const auto frame = [&](float level) {
        const float levels[2] = {0.9f, level};
        const float peaks[2] = {0.9f, 0.0f};
        TidewellMeterWriterPublishWithPeaks(&writer, levels, peaks, 2);
        const auto reading = RuntimeMeterStore::reading(owner);
        ASSERT_TRUE(reading);
        now += 1.0 / 30;
        tap.update({{owner, *reading}}, now);
        meter->step(now);
    };
    for (const float level : {0.01f, 0.05f, 0.2f, 0.5f, 0.9f}) {
        // Hold the level long enough for the 25 ms attack to settle.
        for (int i = 0; i < 10; ++i) frame(level);
        EXPECT_NEAR(barLength(host, *meter), meterScale(level) * 78, 1.0) << "level " << level;
    }

    TidewellMeterWriterClose(&writer);
    shm_unlink(name);
    MeterClock::shared().setTimeSource({});
}
