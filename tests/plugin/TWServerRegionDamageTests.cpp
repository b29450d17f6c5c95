// TidewellHAL hosted by audioserverd while another process of the same user cuts the
// shared regions under it: the runtime region it reads and the meter regions it writes.
// The server keeps running, a muted device stays muted until a whole region says
// otherwise, and the plug-in takes the regions up again once they are whole.

#include "TWServerSupport.h"

#include "RegionOwnerSupport.h"

#include <AudioToolsCommon/Continuity.h>

#include <sys/stat.h>


using namespace twserver;

namespace {

const std::string kDamagedUID = "tw.e2e.damaged";

// Sets a region's size as any process of the user may; false when it cannot be opened.
bool Resize(const std::string& name, off_t size) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return false;
    bool done = ftruncate(fd, size) == 0;
    close(fd);
    return done;
}

off_t RegionSize(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return -1;
    struct stat st {};
    off_t size = fstat(fd, &st) == 0 ? st.st_size : -1;
    close(fd);
    return size;
}

// Two devices ahead of the one under test put its slot past the first 4096 bytes, so that
// a region cut to 4096 faults on the IO thread's own reads.
void PublishDamagedDevice(bool muted) {
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.first", "First", 2, {{1, 1}}),
                                              Controls("tw.e2e.second", "Second", 2, {{1, 1}}),
                                              Controls(kDamagedUID, "Damaged", 2, {{1, 1}}, 1.0, {}, muted)},
                                             false);
}

class DamagedRegions : public LoopingPlugIn {};

TEST_F(DamagedRegions, ACutRuntimeRegionLeavesTheServerRunningAndTheMutedDeviceMuted) {
    PublishDamagedDevice(true);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID(kDamagedUID)) != 0; }));
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, LoopProc, &loop_, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(dev, proc), 0);
    const size_t start = record(24000);

    // Cut past the header and the first slot, then to nothing, then grown back empty: the
    // device keeps its muted controls through every step, the server its clients.
    ASSERT_TRUE(Resize(TidewellRuntimeRegionName, 4096));
    record(24000);
    ASSERT_TRUE(Resize(TidewellRuntimeRegionName, 0));
    record(24000);
    ASSERT_TRUE(Resize(TidewellRuntimeRegionName, TidewellRuntimeSize));
    record(24000);
    EXPECT_TRUE(ServerRunning(server_->pid()));
    EXPECT_EQ(DeviceByUID(kDamagedUID), dev);

    // Written whole again, still muted; then unmuted, which is heard at once.
    PublishDamagedDevice(true);
    record(24000);
    const size_t mutedUntil = loop_.written.load() / 2;
    EXPECT_EQ(peak(start, mutedUntil), 0.0f) << "the muted device played while its region was damaged";
    PublishDamagedDevice(false);
    record(24000);
    const size_t heardFrom = loop_.written.load() / 2;
    record(48000);
    const size_t end = loop_.written.load() / 2;
    ASSERT_EQ(AudioDeviceStop(dev, proc), 0);
    AudioDeviceDestroyIOProcID(dev, proc);

    const float* heard = loop_.recording.data() + heardFrom * 2;
    EXPECT_NEAR(BestLevel(heard, end - heardFrom, 2, 0), 20 * std::log10(0.5), 0.1);
    EXPECT_NEAR(tools::dominantFrequency(heard, end - heardFrom, 2, 0, 48000), 997.0, 1.0);
    EXPECT_GT(BestWindow(heard, end - heardFrom, 2,
                         [](const float* w, size_t n) { return tools::thdPlusNoiseDb(w, n, 2, 0, 48000, 997); }),
              60.0);
    // The other devices follow the whole region too.
    EXPECT_NE(DeviceByUID("tw.e2e.first"), 0u);
    EXPECT_TRUE(ServerRunning(server_->pid()));
}

TEST_F(DamagedRegions, MeterRegionsCutUnderTheWriterAreTakenUpAgain) {
    PublishDamagedDevice(false);
    AudioObjectID dev = 0;
    ASSERT_TRUE(Within(2s, [&] { return (dev = DeviceByUID(kDamagedUID)) != 0; }));
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, LoopProc, &loop_, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(dev, proc), 0);
    record(24000);
    const std::string source = "tidewell.device." + kDamagedUID + ".source";
    const std::string output = "tidewell.device." + kDamagedUID + ".output";
    ASSERT_EQ(RegionSize(MeterRegionName(source)), static_cast<off_t>(TidewellMeterSize));

    // The source meter cut to nothing (its writer's next store faults), the output meter to
    // part of its first page (its stores still land, its readers would fault).
    ASSERT_TRUE(Resize(MeterRegionName(source), 0));
    ASSERT_TRUE(Resize(MeterRegionName(output), 100));
    record(24000);
    EXPECT_TRUE(ServerRunning(server_->pid()));

    // Both come back whole, under the same names, carrying the levels again: a 0.5 sine,
    // played and heard at unit gain.
    for (const auto& owner : {source, output}) {
        EXPECT_TRUE(Within(5s, [&] { return RegionSize(MeterRegionName(owner)) == off_t(TidewellMeterSize); }))
            << owner;
        // (A region shorter than its first page would fault here, in the test.)
        const bool whole = RegionSize(MeterRegionName(owner)) == off_t(TidewellMeterSize);
        EXPECT_TRUE(whole && Within(5s, [&] { return std::fabs(MeterLevel(owner, 0) - 0.5 / std::sqrt(2.0)) < 0.03; }))
            << owner << " reads " << (whole ? MeterLevel(owner, 0) : -1.0f);
    }
    const size_t from = record(24000);
    ASSERT_EQ(AudioDeviceStop(dev, proc), 0);
    AudioDeviceDestroyIOProcID(dev, proc);
    EXPECT_GT(peak(from, from + 24000), 0.4f);
    EXPECT_TRUE(ServerRunning(server_->pid()));
}

// Another user's service published the runtime region before this user's server started
// (the names are the machine's): none of that user's devices becomes this user's, the server
// shows the legacy device, and the region's devices appear once it is this user's own.
TEST_F(HostedPlugIn, AnotherUsersRuntimeRegionPublishesNoDevice) {
    server_.reset();
    tidewell::RuntimeControlStoreV3::publish({Controls("tw.e2e.theirs", "Tidewell Demo", 2, {{1, 1}, {2, 2}})},
                                             false);
    ASSERT_TRUE(regiontest::GiveRegionTo(TidewellRuntimeRegionName, regiontest::kOtherUser));
    server_ = std::make_unique<TestServer>();
    ASSERT_TRUE(Within(2s, [] { return DeviceByUID(kLegacyUID) != 0; }));
    // Several reconcile passes (0.5 s apart) go by.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(DeviceByUID("tw.e2e.theirs"), 0u);
    EXPECT_NE(DeviceByUID(kLegacyUID), 0u);

    ASSERT_TRUE(regiontest::GiveRegionTo(TidewellRuntimeRegionName, geteuid()));
    EXPECT_TRUE(Within(2s, [] { return DeviceByUID("tw.e2e.theirs") != 0; }));
    EXPECT_TRUE(ServerRunning(server_->pid()));
}

}  // namespace
