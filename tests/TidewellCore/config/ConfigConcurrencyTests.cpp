#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

// The application validates and saves on its main thread while background work reads the
// configuration and sorts device names; none of these share state.
TEST(ConfigConcurrency, StatelessOperationsRunOnManyThreadsAtOnce) {
  testing::TemporaryFolder tmp;
  ConfigSnapshot doc = ConfigSnapshot::empty();
  for (int i = 0; i < 4; ++i) doc.devices.push_back(DeviceConfig::makeDefault("D" + std::to_string(i), 48000.0));
  const std::string text = JSONEncoder::tidewell().encode(doc);
  const ValidationResult expected = ConfigValidator().validate(doc);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ConfigStore store(tmp.path() / ("config-" + std::to_string(t) + ".json"));
      for (int i = 0; i < 50; ++i) {
        if (JSONDecoder::tidewell().decode<ConfigSnapshot>(text) != doc) ++failures;
        if (ConfigValidator().validate(doc) != expected) ++failures;
        if (Text::localizedStandardCompare("Mic 2", "Mic 10") >= 0) ++failures;
        if (Text::isBlank("x")) ++failures;
        ConfigSnapshot copy = doc;
        ConfigEditor::setDeviceChannelCount(copy.devices[0].id, 4, copy);
        store.save(copy);
        if (store.load() != copy) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tidewell
