// The meter model's passes, and the output-side reading it derives when the plug-in's is
// missing or frozen.

#include <QTimer>

#include "ModelTestSupport.h"
#include "TidewellApp/TidewellMeterModel.h"

namespace tidewell::testing {
namespace {

using Reading = RuntimeMeterStore::Reading;

Wire wire(const std::string& source, std::int64_t from, const std::string& device, std::int64_t to) {
  return Wire{"w" + source + std::to_string(from) + std::to_string(to),
              WireEndpoint{EndpointKind::source, source, from},
              WireEndpoint{EndpointKind::deviceOutput, device, to}};
}

DeviceConfig deviceWithoutPassThru(std::int64_t channels) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.sources.clear();
  device.wires.clear();
  device.channelCount = channels;
  return device;
}

std::optional<Reading> derived(const Reading& ring, const DeviceConfig& device) {
  return TidewellMeterModel::derivedOutputReading(ring, device);
}

TEST(DerivedOutputReading, WithoutAPassThruSourceTheRingIsScaledChannelForChannel) {
  DeviceConfig device = deviceWithoutPassThru(4);
  device.volume = 0.5;
  device.channelGains = std::vector<double>{1.0, 0.5, -1.0};  // channel 4 beyond the list: 1.0
  Reading ring{{0.2, 0.4, 0.6, 0.8}, {0.4, 0.8, 1.0, 1.0}};
  auto reading = derived(ring, device);
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->levels, (std::vector<double>{0.1, 0.1, 0.0, 0.4}));
  EXPECT_EQ(reading->peaks, (std::vector<double>{0.2, 0.2, 0.0, 0.5}));
}

TEST(DerivedOutputReading, RoutesAddUpToAtMostFullScaleAndOutOfRangeRoutesAreIgnored) {
  DeviceConfig device = makeDevice("D", "Desk");
  device.wires = {wire("D-pt", 1, "D", 1), wire("D-pt", 2, "D", 1), wire("D-pt", 3, "D", 2),
                  wire("D-pt", 1, "D", 3)};
  Reading ring{{0.7, 0.7}, {0.9}};
  auto reading = derived(ring, device);
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->levels, (std::vector<double>{1.0, 0.0}));
  // Ring channel 2 has no peak: only channel 1's peak arrives.
  EXPECT_EQ(reading->peaks, (std::vector<double>{0.9, 0.0}));
}

// A damaged file's channel count is bounded as a stream is: the reading has at most 64
// channels, made at once, and a negative count has none.
TEST(DerivedOutputReading, ACountBeyondAStreamGivesSixtyFourChannels) {
  Reading ring{std::vector<double>(64, 0.5), std::vector<double>(64, 0.5)};
  auto reading = derived(ring, deviceWithoutPassThru(std::int64_t(1) << 40));
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->levels, std::vector<double>(64, 0.5));
  reading = derived(ring, deviceWithoutPassThru(-3));
  ASSERT_TRUE(reading);
  EXPECT_TRUE(reading->levels.empty());
}

TEST(DerivedOutputReading, VolumeAndPassThruGainAreClampedAsThePlugInDoes) {
  DeviceConfig device = makeDevice("D", "Desk");
  Reading ring{{0.1, 0.2}, {0.1, 0.2}};
  device.volume = 5.0;
  device.sources[0].gain = 3.0;  // both clamp to 2
  EXPECT_EQ(derived(ring, device)->levels, (std::vector<double>{0.4, 0.8}));
  device.volume = std::nan("");
  device.sources[0].gain = std::numeric_limits<double>::infinity();  // leaves the factor alone
  EXPECT_EQ(derived(ring, device)->levels, (std::vector<double>{0.1, 0.2}));
}

TEST(DerivedOutputReading, NothingIsDerivedForASilencedDevice) {
  Reading ring{{0.5, 0.5}, {0.5, 0.5}};
  DeviceConfig device = makeDevice("D", "Desk");
  ASSERT_TRUE(derived(ring, device));
  auto off = device;
  off.enabled = false;
  auto passThruOff = device;
  passThruOff.sources[0].enabled = false;
  auto muted = device;
  muted.sources[0].muted = true;
  auto zeroGain = device;
  zeroGain.sources[0].gain = 0.0;
  auto zeroVolume = device;
  zeroVolume.volume = -1.0;
  for (const auto& silenced : {off, passThruOff, muted, zeroGain, zeroVolume}) {
    EXPECT_FALSE(derived(ring, silenced));
  }
}

class MeterModelTest : public ModelTest {
 protected:
  std::shared_ptr<MeterTap> tap = std::make_shared<MeterTap>();
  std::unique_ptr<TidewellMeterModel> meterModel;
  DeviceConfig device = makeDevice("D", "Desk");
  std::string out = RuntimeMeterStore::outputOwnerID(device.uid);
  std::string ring = RuntimeMeterStore::sourceOwnerID(device.uid);

  MeterModelTest() { meterModel = std::make_unique<TidewellMeterModel>(tap, environment()); }
  std::optional<Reading> shown(const std::string& owner) {
    return tap->reading(owner, TidewellMeterModel::referenceSeconds(clock->now()));
  }
  // One pass 0.12 s after the previous one.
  void pass() {
    clock->advance(0.12);
    meterModel->refresh();
  }
};

TEST_F(MeterModelTest, AFrozenOrMissingOutputReadingIsReplacedByTheDerivedOne) {
  const Reading measured{{0.3, 0.3}, {0.3, 0.3}};
  const Reading derivedReading{{0.5, 0.25}, {0.5, 0.25}};
  meters->readings[ring] = Reading{{0.5, 0.25}, {0.5, 0.25}};
  meters->readings[out] = measured;
  meters->readings["D-pt"] = Reading{{0.1}, {0.1}};
  meters->readings["elsewhere"] = Reading{{0.9}, {0.9}};
  meterModel->updateDevice(device);
  EXPECT_EQ(shown(out), measured);
  EXPECT_EQ(shown("D-pt"), (Reading{{0.1}, {0.1}}));
  EXPECT_FALSE(shown("elsewhere"));

  // Unchanged for less than 0.3 s it stays; from 0.3 s on the derived reading takes its place.
  pass();
  pass();
  EXPECT_EQ(shown(out), measured);
  pass();
  EXPECT_EQ(shown(out), derivedReading);

  // A changing measured reading always passes through.
  for (double level : {0.31, 0.32, 0.33, 0.34, 0.35}) {
    meters->readings[out] = Reading{{level, level}, {level, level}};
    pass();
    EXPECT_EQ(shown(out), meters->readings[out]);
  }

  // Gone altogether: derived at once.
  meters->readings.erase(out);
  pass();
  EXPECT_EQ(shown(out), derivedReading);
}

TEST_F(MeterModelTest, AFrozenReadingOfASilencedDeviceStaysAndNoDeviceEmptiesTheTap) {
  device.enabled = false;
  const Reading measured{{0.3, 0.3}, {0.3, 0.3}};
  meters->readings[ring] = Reading{{0.5, 0.25}, {0.5, 0.25}};
  meters->readings[out] = measured;
  meterModel->updateDevice(device);
  pass();
  pass();
  pass();
  // The tap itself blanks a reading unchanged for 0.3 s; what it got is the measured one.
  EXPECT_FALSE(shown(out));
  EXPECT_EQ(tap->reading(out, TidewellMeterModel::referenceSeconds(clock->now()) - 0.31), measured);

  meterModel->updateDevice(std::nullopt);
  EXPECT_FALSE(shown(ring));
  EXPECT_FALSE(tap->reading(ring, TidewellMeterModel::referenceSeconds(clock->now()) - 0.31));
}

// The period is checked as configured, not timed: one 33 ms single-shot timer, armed afresh
// once each pass is done (so the period is 33 ms plus the pass, and a slow pass never has the
// next one waiting behind it), and each expiry is one pass. Inside a pass, where the meters
// are read, the timer is not armed.
TEST_F(MeterModelTest, StartedPollingRearmsOneThirtyThreeMillisecondTimerAfterEachPass) {
  clock = std::make_shared<FakeClock>();
  meterModel = std::make_unique<TidewellMeterModel>(tap, environment());
  meterModel->updateDevice(device);
  EXPECT_EQ(meterModel->findChild<QTimer*>(), nullptr) << "nothing polls before start";
  meterModel->start();
  meterModel->start();
  const QList<QTimer*> timers = meterModel->findChildren<QTimer*>();
  ASSERT_EQ(timers.size(), 1) << "a second start adds no timer";
  QTimer& timer = *timers.front();
  EXPECT_EQ(timer.interval(), 33);
  EXPECT_TRUE(timer.isSingleShot()) << "a repeating timer would queue passes behind a slow one";
  EXPECT_TRUE(timer.isActive());
  int readsWhileArmed = 0;
  int reads = 0;
  meters->whileRead = [&] {
    ++reads;
    readsWhileArmed += timer.isActive();
  };
  for (int pass = 1; pass <= 3; ++pass) {
    meters->readings["D-pt"] = Reading{{0.01 * pass}, {0.0}};
    ASSERT_TRUE(waitFor([&] {
      clock->advance(0.001);
      return shown("D-pt") == meters->readings["D-pt"];
    })) << "pass " << pass;
    EXPECT_TRUE(timer.isActive()) << "armed again after pass " << pass;
    EXPECT_EQ(timer.interval(), 33);
  }
  EXPECT_GT(reads, 0);
  EXPECT_EQ(readsWhileArmed, 0) << "the next pass was armed before this one was done";
}

}  // namespace
}  // namespace tidewell::testing
