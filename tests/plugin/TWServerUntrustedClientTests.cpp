// TidewellHAL hosted by audioserverd while a client that writes the protocol itself sends
// what the client library never would: raw bytes where the plug-in takes a string reference,
// and a cut of the shared IO block the server hands it. The request is refused, the block
// keeps its size, and the server goes on serving its other clients.

#include "TWServerSupport.h"

#include <sys/stat.h>

#include <cerrno>

using namespace twserver;
using audioproto::Op;

namespace {

const std::string kUID = "tw.e2e.untrusted";

class UntrustedClient : public LoopingPlugIn {
protected:
    void SetUp() override {
        LoopingPlugIn::SetUp();
        tidewell::RuntimeControlStoreV3::publish({Controls(kUID, "Untrusted", 2, {{1, 1}, {2, 2}})}, false);
        ASSERT_TRUE(Within(2s, [&] { return (device_ = DeviceByUID(kUID)) != 0; }));
        ASSERT_EQ(AudioDeviceCreateIOProcID(device_, LoopProc, &loop_, &proc_), 0);
        ASSERT_EQ(AudioDeviceStart(device_, proc_), 0);
        record(4800);
        raw_ = std::make_unique<RawClient>(server_->socket());
        ASSERT_TRUE(raw_->connected());
        audioproto::Writer hello;
        hello.i32(getpid());
        hello.str("app.tidewell.untrusted");
        ASSERT_EQ(raw_->call(Op::Hello, hello.data()).status, 0);
    }
    void TearDown() override {
        raw_.reset();
        if (proc_ != nullptr) {
            AudioDeviceStop(device_, proc_);
            AudioDeviceDestroyIOProcID(device_, proc_);
        }
        LoopingPlugIn::TearDown();
    }

    // The other clients are served: this process's IO proc records on, and another process
    // lists the devices.
    void expectServing() {
        EXPECT_TRUE(ServerRunning(server_->pid()));
        record(24000);
        std::string listing;
        EXPECT_EQ(audiotest::Run({BinDir() + "/audioctl", "list"}, &listing), 0);
        EXPECT_NE(listing.find("  uid: " + kUID + "\n"), std::string::npos) << listing;
    }

    AudioObjectID device_ = 0;
    AudioDeviceIOProcID proc_ = nullptr;
    std::unique_ptr<RawClient> raw_;
};

AudioObjectID PlugInObject() {
    CFStringRef bundle = CFStringCreateWithCString(nullptr, "app.tidewell.vhal", kCFStringEncodingUTF8);
    AudioObjectID plugIn = 0;
    UInt32 size = sizeof plugIn;
    auto a = Address(kAudioHardwarePropertyTranslateBundleIDToPlugIn);
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &a, sizeof bundle, &bundle, &size, &plugIn);
    CFRelease(bundle);
    return plugIn;
}

TEST_F(UntrustedClient, RawBytesForThePlugInsUIDTranslationAreRefusedAndTheServerServesOn) {
    const AudioObjectID plugIn = PlugInObject();
    ASSERT_NE(plugIn, 0u);
    const auto translate = Address(kAudioPlugInPropertyTranslateUIDToDevice);
    // Eight bytes that a plug-in would read through as a string reference.
    audioproto::WireValue bytes;
    bytes.bytes.assign(8, 0x41);
    for (Op op : {Op::GetData, Op::GetSize, Op::IsSettable}) {
        auto reply = raw_->property(op, plugIn, translate, bytes, 4);
        ASSERT_TRUE(reply.received) << "the server went away on request " << uint32_t(op);
        EXPECT_EQ(reply.status, kAudioHardwareBadPropertySizeError) << "request " << uint32_t(op);
    }
    auto has = raw_->property(Op::HasProperty, plugIn, translate, bytes);
    ASSERT_TRUE(has.received) << "the server went away";
    audioproto::Reader hasAnswer(has.payload);
    EXPECT_EQ(hasAnswer.u32(), 0u) << "not with that qualifier";
    // Text where the plug-in's owned objects take class ids.
    audioproto::WireValue text;
    text.kind = audioproto::ValueKind::String;
    text.text = "adev";
    auto owned = raw_->property(Op::GetData, plugIn, Address(kAudioObjectPropertyOwnedObjects), text, 16);
    ASSERT_TRUE(owned.received);
    EXPECT_EQ(owned.status, kAudioHardwareBadPropertySizeError);

    expectServing();
    // The translation it takes still finds the device.
    CFStringRef uid = CFStringCreateWithCString(nullptr, kUID.c_str(), kCFStringEncodingUTF8);
    AudioObjectID found = 0;
    UInt32 size = sizeof found;
    EXPECT_EQ(AudioObjectGetPropertyData(plugIn, &translate, sizeof uid, &uid, &size, &found), 0);
    CFRelease(uid);
    EXPECT_EQ(found, device_);
}

TEST_F(UntrustedClient, TheIOBlockItIsHandedCannotBeGrownOrCutUnderTheServer) {
    audioproto::Writer which;
    which.u32(device_);
    auto started = raw_->call(Op::IOStart, which.data());
    ASSERT_TRUE(started.received);
    ASSERT_EQ(started.status, 0);
    ASSERT_GE(started.fd, 0);
    const int block = started.fd;
    audioproto::Reader layout(started.payload);
    const off_t size = layout.u32();
    struct stat st {};
    ASSERT_EQ(fstat(block, &st), 0);
    ASSERT_EQ(st.st_size, size);

    // Grown, then cut to nothing: both refused, and nothing can take the seals off.
    EXPECT_EQ(fcntl(block, F_GET_SEALS), F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    errno = 0;
    EXPECT_EQ(ftruncate(block, size * 2), -1);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(ftruncate(block, 0), -1);
    EXPECT_EQ(errno, EPERM);
    ASSERT_EQ(fstat(block, &st), 0);
    EXPECT_EQ(st.st_size, size);

    // In the device's cycle, where the server's IO thread writes the block every cycle (it is
    // never answered, so each of its cycles is late).
    auto activated = raw_->call(Op::IOActivate, which.data());
    ASSERT_TRUE(activated.received);
    EXPECT_EQ(activated.status, 0);
    expectServing();
    EXPECT_GT(CyclesOf(*server_, kUID).late, 0u) << "the block was in the cycle";
    EXPECT_EQ(raw_->call(Op::IOStop, which.data()).status, 0);
    close(block);
    expectServing();
}

}  // namespace
