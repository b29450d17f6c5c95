// The audio server's plug-in host in this process, with TidewellHAL's driver linked in and
// reading a runtime region of the test's own: what the host keeps of a device the plug-in
// retires. The engine side of each device (its IO scratch among it, about 1 MiB) goes once
// no IO thread can reach it, also when one still ran as the device was retired.

#include "PlugInHost.h"
#include "TWTestSupport.h"
#include "TestServer.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace audioserver {

struct PlugInHostTestAccess {
    static std::shared_ptr<PlugInDevice> device(Server& server, const std::string& uid) {
        std::lock_guard<std::mutex> lock(server.mutex_);
        return std::dynamic_pointer_cast<PlugInDevice>(server.deviceByUID(uid));
    }
};

}  // namespace audioserver

namespace {

using audioserver::PlugInHostTestAccess;
using namespace std::chrono_literals;

class InProcessHost : public ::testing::Test {
protected:
    // One server and one driver for the process: the driver initialises once.
    static void SetUpTestSuite() {
        region_ = new twtest::RuntimeRegion(twtest::UniqueName("host"));
        folder_ = new audiotest::TempDir();
        TWSetReconcileTimerEnabled(false);
        TWSetRuntimeSharedMemoryName(region_->name().c_str());
        server_ = new audioserver::Server(folder_->path() + "/control", false);
        server_->startInProcess(TidewellHALFactory);
    }

    // The region lists `slots`; the plug-in reconciles and the host follows.
    static void publish(const std::vector<twtest::RuntimeRegion::Slot>& slots) {
        region_->publish(slots);
        TWReconcileOnce();
    }

    static std::shared_ptr<audioserver::PlugInDevice> device(const std::string& uid) {
        return PlugInHostTestAccess::device(*server_, uid);
    }

    static inline twtest::RuntimeRegion* region_ = nullptr;
    static inline audiotest::TempDir* folder_ = nullptr;
    static inline audioserver::Server* server_ = nullptr;  // lives as long as the process
};

TEST_F(InProcessHost, ARetiredDevicesEngineSideIsFreedOnceNoIOThreadCanReachIt) {
    std::vector<twtest::RuntimeRegion::Slot> slots;
    std::vector<std::string> uids;
    for (int i = 0; i < 16; ++i) {
        uids.push_back("tw.host.retired." + std::to_string(i));
        twtest::RuntimeRegion::Slot slot;
        slot.uid = uids.back();
        slots.push_back(slot);
    }
    publish(slots);
    ASSERT_TRUE(audiotest::WaitUntil([&] {
        for (const auto& uid : uids)
            if (!device(uid)) return false;
        return true;
    })) << "the host did not mirror the sixteen devices";
    std::vector<std::weak_ptr<audioserver::PlugInIO>> engineSides;
    for (const auto& uid : uids) engineSides.push_back(device(uid)->pio);

    // The first device's IO thread runs on through its retirement: a capture keeps it going
    // with no client, calling into the engine side every cycle.
    {
        auto running = device(uids[0]);
        std::string error;
        ASSERT_TRUE(running->engine->startCapture(folder_->path() + "/capture.wav", error)) << error;
        ASSERT_TRUE(audiotest::WaitUntil([&] { return running->engine->counters().cycles > 10; }));
    }

    publish({});
    ASSERT_TRUE(audiotest::WaitUntil([&] {
        for (const auto& uid : uids)
            if (device(uid)) return false;
        return true;
    })) << "the host did not retire the devices";
    EXPECT_TRUE(audiotest::WaitUntil([&] {
        for (const auto& side : engineSides)
            if (!side.expired()) return false;
        return true;
    }, 5s)) << "a retired device's engine side is kept";
}

}  // namespace
