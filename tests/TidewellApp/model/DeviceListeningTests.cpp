// Device notifications, the coalesced background inventory read, and the pickers' lists.

#include <future>

#include "ModelTestSupport.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;

AudioDeviceInfo info(const std::string& uid, bool isDefault = false) {
  return AudioDeviceInfo{uid, uid + " name", 2, isDefault, std::nullopt};
}

class DeviceListeningTest : public ModelTest {};

TEST_F(DeviceListeningTest, ListenersAreInPlaceBeforeTheFirstInventoryRead) {
  auto model = makeModel();
  ASSERT_GE(registry->events.size(), 2u);
  EXPECT_EQ(registry->events[0], "listen");
  EXPECT_EQ(registry->events[1], "inventory");
}

TEST_F(DeviceListeningTest, ABurstOfNotificationsGivesOneReadAQuarterSecondLater) {
  auto model = makeModel();
  ASSERT_EQ(registry->inventoryReads, 1);
  {
    std::lock_guard guard(registry->lock);
    registry->inventory.outputs = {info("usb-out")};
  }
  QSignalSpy inventoryChanged(model.get(), &TidewellAppModel::audioDeviceInventoryChanged);
  QElapsedTimer sinceFirst;
  sinceFirst.start();
  registry->notify();  // device list
  registry->notify();  // default output, a few milliseconds later
  ASSERT_TRUE(waitFor([&] { return model->audioDeviceRefreshScheduled(); }));
  ASSERT_TRUE(waitFor([&] { return registry->inventoryReads == 2; }));
  EXPECT_GE(sinceFirst.elapsed(), TidewellAppModel::audioDeviceRefreshDelayMilliseconds - 10);
  ASSERT_TRUE(waitFor([&] { return inventoryChanged.count() == 1; }));
  EXPECT_EQ(model->audioDeviceInventory().outputs, std::vector{info("usb-out")});
  EXPECT_FALSE(model->audioDeviceRefreshScheduled());

  // Another notification reads again; an equal inventory refreshes nothing.
  registry->notify();
  ASSERT_TRUE(waitFor([&] { return registry->inventoryReads == 3; }));
  QTest::qWait(100);
  EXPECT_EQ(inventoryChanged.count(), 1);
  QTest::qWait(300);
  EXPECT_EQ(registry->inventoryReads, 3);
}

TEST_F(DeviceListeningTest, WhenReadsOverlapTheNewestResultIsKept) {
  auto model = makeModel();
  AudioDeviceInventory stale;
  stale.outputs = {info("unplugged")};
  AudioDeviceInventory fresh;
  fresh.outputs = {info("plugged")};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  registry->slowRead = [&, released](int number) {
    if (number == 2) {
      released.wait();
      return stale;
    }
    return fresh;
  };
  registry->notify();
  ASSERT_TRUE(waitFor([&] { return registry->inventoryReads == 2; }));
  registry->notify();
  ASSERT_TRUE(waitFor([&] { return model->audioDeviceInventory() == fresh; }));
  release.set_value();
  QTest::qWait(200);
  EXPECT_EQ(model->audioDeviceInventory(), fresh);
}

TEST_F(DeviceListeningTest, PickersLeaveOutOwnDevicesAndDefaultToTheMarkedOrFirstEntry) {
  registry->inventory.outputs = {info("app.tidewell.devices.A", true), info("hw-1"), info("hw-2")};
  registry->inventory.inputs = {info("app.tidewell.passthru.main"), info("mic"),
                                info("usb-in", true)};
  auto model = makeModel();
  EXPECT_THAT(model->monitorOutputDevices(), ElementsAre(info("hw-1"), info("hw-2")));
  EXPECT_EQ(model->defaultMonitorOutput(), info("hw-1"));
  EXPECT_THAT(model->hardwareInputDevices(), ElementsAre(info("mic"), info("usb-in", true)));
  EXPECT_EQ(model->defaultHardwareInput(), info("usb-in", true));

  AudioDeviceInventory onlyOwn;
  onlyOwn.outputs = {info("app.zellvane.devices.B")};
  model->setAudioDeviceInventory(onlyOwn);
  EXPECT_TRUE(model->monitorOutputDevices().empty());
  EXPECT_FALSE(model->defaultMonitorOutput());
  EXPECT_FALSE(model->defaultHardwareInput());
}

}  // namespace
}  // namespace tidewell::testing
