// Listeners across processes, and what clients see when the server restarts.
#include "TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

using namespace audiotest;
using namespace std::chrono_literals;

namespace {

std::atomic<int> gRestarts{0};

// Returns once every notification this process was sent before now has been delivered:
// it changes a property and waits for its own listener to hear it (changes are delivered
// in order, on one thread).
void FlushNotifications() {
    static std::atomic<int> heard{0};
    auto proc = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) -> OSStatus {
        heard.fetch_add(1);
        return 0;
    };
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    auto a = Address(kAudioDevicePropertyBufferFrameSize);
    ASSERT_EQ(AudioObjectAddPropertyListener(out, &a, proc, nullptr), 0);
    int before = heard.load();
    UInt32 frames = U32Property(out, a) == 256 ? 512 : 256;
    ASSERT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 4, &frames), 0);
    EXPECT_TRUE(WaitUntil([&] { return heard.load() > before; })) << "the change was never heard";
    AudioObjectRemovePropertyListener(out, &a, proc, nullptr);
}

OSStatus CountRestart(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    gRestarts.fetch_add(1);
    return 0;
}

TEST(Listeners, ANominalRateChangeNotifiesAListenerInAnotherProcess) {
    TestServer server;
    Child listener({BinDir() + "/audio-test-client", "listen", "BuiltInOutputDevice", "nsrt", "30"});
    ASSERT_TRUE(listener.waitFor("ready", 10s)) << listener.output();
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    auto a = Address(kAudioDevicePropertyNominalSampleRate);
    Boolean settable = false;
    ASSERT_EQ(AudioObjectIsPropertySettable(out, &a, &settable), 0);
    EXPECT_TRUE(settable);
    double rate = 44100;
    ASSERT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 8, &rate), 0);
    EXPECT_TRUE(listener.waitFor("fired nsrt", 5s)) << listener.output();
    double read = 0;
    UInt32 size = 8;
    ASSERT_EQ(AudioObjectGetPropertyData(out, &a, 0, nullptr, &size, &read), 0);
    EXPECT_EQ(read, 44100.0);
    // A rate the device does not offer is refused and changes nothing.
    rate = 12345;
    EXPECT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 8, &rate), kAudioHardwareUnsupportedOperationError);
    // The control tool's rate change notifies too.
    auto r = server.control({{"op", "alterDevice"}, {"uid", "BuiltInOutputDevice"}, {"rate", 96000.0}});
    ASSERT_TRUE(r && r->value("ok", false));
    EXPECT_TRUE(listener.waitFor("fired nsrt", 5s)) << listener.output();
}

TEST(Listeners, RemovedListenersAreNotCalledAgain) {
    TestServer server;
    static std::atomic<int> calls{0};
    auto proc = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) -> OSStatus {
        calls.fetch_add(1);
        return 0;
    };
    auto a = Address(kAudioHardwarePropertyDefaultOutputDevice);
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &a, proc, nullptr), 0);
    AudioObjectID usb = DeviceByUID("USBAudioInterface");
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    ASSERT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, 4, &usb), 0);
    ASSERT_TRUE(WaitUntil([&] { return calls.load() > 0; }));
    EXPECT_EQ(calls.load(), 1);
    ASSERT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &a, proc, nullptr), 0);
    // A listener that stays, on the same property: listeners are called in the order of the
    // changes, so once it has heard the next change, the removed one would have too.
    static std::atomic<int> witness{0};
    auto witnessProc = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) -> OSStatus {
        witness.fetch_add(1);
        return 0;
    };
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &a, witnessProc, nullptr), 0);
    ASSERT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &a, 0, nullptr, 4, &out), 0);
    ASSERT_TRUE(WaitUntil([&] { return witness.load() > 0; }));
    EXPECT_EQ(calls.load(), 1);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &a, witnessProc, nullptr);
    EXPECT_NE(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &a, proc, nullptr), 0);
}

TEST(Restart, ListenersFireOnceAndOldIDsFailWithoutHanging) {
    TestServer server;
    Child other({BinDir() + "/audio-test-client", "listen", "system", "srst", "60"});
    ASSERT_TRUE(other.waitFor("ready", 10s)) << other.output();
    auto srst = Address(kAudioHardwarePropertyServiceRestarted);
    ASSERT_EQ(AudioObjectAddPropertyListener(kAudioObjectSystemObject, &srst, CountRestart, nullptr), 0);
    // This process talked to the servers of earlier tests: their replacement counts as a
    // restart too. Let that one pass before counting: the restart is told before any
    // change that follows it, so once a later change has been heard it has been told.
    FlushNotifications();
    gRestarts.store(0);
    AudioObjectID oldOut = DeviceByUID("BuiltInOutputDevice");
    ASSERT_NE(oldOut, 0u);

    server.stop();
    // While no server runs, calls fail at once.
    auto t0 = std::chrono::steady_clock::now();
    OSStatus st;
    U32Property(oldOut, Address(kAudioDevicePropertyTransportType), &st);
    EXPECT_EQ(st, kAudioHardwareNotRunningError);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
    EXPECT_EQ(gRestarts.load(), 0) << "fired before a server answered again";

    server.start();
    EXPECT_TRUE(other.waitFor("fired srst", 10s)) << other.output();
    EXPECT_TRUE(WaitUntil([] { return gRestarts.load() > 0; }));
    // Exactly once: nothing more by the time later changes have been heard.
    FlushNotifications();
    EXPECT_EQ(gRestarts.load(), 1);
    EXPECT_FALSE(other.waitFor("fired", 1s)) << other.output();

    // Ids of the old server are invalid on the new one; the call answers with an error.
    t0 = std::chrono::steady_clock::now();
    U32Property(oldOut, Address(kAudioDevicePropertyTransportType), &st);
    EXPECT_EQ(st, kAudioHardwareBadObjectError);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
    AudioObjectID newOut = DeviceByUID("BuiltInOutputDevice");
    EXPECT_NE(newOut, 0u);
    EXPECT_NE(newOut, oldOut);
    AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &srst, CountRestart, nullptr);
}

OSStatus Silence(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                 const AudioTimeStamp*, void* data) {
    static_cast<std::atomic<int>*>(data)->fetch_add(1);
    return 0;
}

TEST(Restart, RunningIOEndsAndStoppingItStillReturns) {
    TestServer server;
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    std::atomic<int> calls{0};
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(out, Silence, &calls, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(out, proc), 0);
    ASSERT_TRUE(WaitUntil([&] { return calls.load() > 0; }));
    server.stop();
    EXPECT_TRUE(Settles(calls)) << "no server, no cycles";
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(AudioDeviceStop(out, proc), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(out, proc), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
}

}  // namespace

namespace {

TEST(Listeners, AClientThatStopsReadingDoesNotHoldUpOthersNotifications) {
    TestServer server;
    Child stuck({BinDir() + "/audio-test-client", "listen", "system", "dOut", "60"});
    ASSERT_TRUE(stuck.waitFor("ready", 10s));
    Child listener({BinDir() + "/audio-test-client", "listen", "BuiltInOutputDevice", "fsiz", "60"});
    ASSERT_TRUE(listener.waitFor("ready", 10s));
    stuck.signal(SIGSTOP);
    // Far more notifications than a socket buffer holds.
    AudioObjectID out = DeviceByUID("BuiltInOutputDevice");
    auto a = Address(kAudioDevicePropertyBufferFrameSize);
    for (UInt32 i = 0; i < 3000; ++i) {
        UInt32 frames = 64 + (i % 2) * 64;
        ASSERT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 4, &frames), 0);
    }
    // The changes still reach the reading client: a server held up by the stuck one would
    // stop sending, and the count would never be reached.
    UInt32 frames = 1024;
    ASSERT_EQ(AudioObjectSetPropertyData(out, &a, 0, nullptr, 4, &frames), 0);
    size_t fired = 0;
    while (fired < 1000 && listener.waitFor("fired fsiz", 20s)) ++fired;
    EXPECT_GE(fired, 1000u);
    stuck.signal(SIGCONT);
}

}  // namespace
