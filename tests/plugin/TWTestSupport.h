// In-process test support for the plug-in: a writable runtime region under a private
// name, a host that records what the driver tells it, and property helpers that call the
// driver through the table its factory hands out.
#pragma once

#include <TidewellHAL/TWDriver.h>
#include <TidewellRuntimeSupport/TidewellRegions.h>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace twtest {

// Sets a shared region's size, as any process of the user may do under its readers.
inline bool ResizeRegion(const std::string& name, off_t size) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return false;
    bool done = ftruncate(fd, size) == 0;
    close(fd);
    return done;
}

// A runtime region that the test writes slot by slot, then publishes under the sequence
// counter as the real writers do.
class RuntimeRegion {
public:
    explicit RuntimeRegion(std::string name) : name_(std::move(name)) { create(); }
    ~RuntimeRegion() {
        if (base_ != nullptr) munmap(base_, TidewellRuntimeSize);
        shm_unlink(name_.c_str());
    }
    RuntimeRegion(const RuntimeRegion&) = delete;
    RuntimeRegion& operator=(const RuntimeRegion&) = delete;

    const std::string& name() const { return name_; }
    TidewellRuntimeRegion* region() { return reinterpret_cast<TidewellRuntimeRegion*>(base_); }

    // Removes the region and creates it again under the same name (a new inode), empty.
    void recreate() {
        munmap(base_, TidewellRuntimeSize);
        shm_unlink(name_.c_str());
        create();
    }

    void clear() {
        uint32_t odd = TidewellSequenceBeginWrite(base_);
        std::vector<unsigned char> zero(TidewellRuntimeSize - 16, 0);
        TidewellRegionWriteBytes(base_, 16, zero.data(), zero.size());
        TidewellSequenceEndWrite(base_, odd);
    }

    struct Slot {
        std::string uid{};
        std::string name = "Device";
        std::string icon{};
        uint32_t channels = 2;
        uint32_t flags = TidewellSlotFlagPresent | TidewellSlotFlagDeviceEnabled | TidewellSlotFlagSourceEnabled;
        float deviceGain = 1.0f;
        float sourceGain = 1.0f;
        std::vector<float> channelGains{};  // missing channels get 1.0
        std::vector<TidewellRuntimeRoute> routes = {{1, 1}, {2, 2}};
        uint32_t routeCountOverride = 0;  // non-zero: stored instead of routes.size()
    };

    // Replaces the whole device table with these slots (count = slots.size() unless given).
    void publish(const std::vector<Slot>& slots, int32_t count = -1, uint32_t headerFlags = 0) {
        uint32_t odd = TidewellSequenceBeginWrite(base_);
        std::vector<unsigned char> zero(TidewellRuntimeSize - 64, 0);
        TidewellRegionWriteBytes(base_, 64, zero.data(), zero.size());
        TidewellRegionStoreWord(base_, offsetof(TidewellRuntimeRegion, deviceCount),
                                count >= 0 ? static_cast<uint32_t>(count) : static_cast<uint32_t>(slots.size()));
        TidewellRegionStoreWord(base_, offsetof(TidewellRuntimeRegion, flags), headerFlags);
        for (size_t i = 0; i < slots.size(); ++i) writeSlot(static_cast<uint32_t>(i), slots[i]);
        TidewellSequenceEndWrite(base_, odd);
    }

    // Leaves the counter odd, as a writer in the middle of a write does.
    uint32_t beginWrite() { return TidewellSequenceBeginWrite(base_); }
    void endWrite(uint32_t odd) { TidewellSequenceEndWrite(base_, odd); }
    void setHeaderWord(size_t offset, uint32_t value) { TidewellRegionStoreWord(base_, offset, value); }
    // The magic, version and size words as this build writes them.
    void writeHeader() {
        TidewellRegionStoreWord(base_, TidewellRegionMagicOffset, TidewellRuntimeMagic);
        TidewellRegionStoreWord(base_, TidewellRegionVersionOffset, TidewellRuntimeVersion);
        TidewellRegionStoreWord(base_, TidewellRegionSizeOffset, TidewellRuntimeSize);
    }
    bool resize(off_t size) { return ResizeRegion(name_, size); }

private:
    void create() {
        int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ftruncate(fd, TidewellRuntimeSize) != 0) {
            ADD_FAILURE() << "cannot create " << name_;
            if (fd >= 0) close(fd);
            return;
        }
        base_ = static_cast<unsigned char*>(
            mmap(nullptr, TidewellRuntimeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        writeHeader();
    }

    void writeSlot(uint32_t index, const Slot& s) {
        TidewellRuntimeDeviceSlot slot;
        std::memset(&slot, 0, sizeof slot);
        slot.flags = s.flags;
        slot.channelCount = s.channels;
        slot.deviceGain = s.deviceGain;
        slot.sourceGain = s.sourceGain;
        slot.routeCount = s.routeCountOverride ? s.routeCountOverride : static_cast<uint32_t>(s.routes.size());
        std::strncpy(slot.uid, s.uid.c_str(), sizeof slot.uid - 1);
        std::strncpy(slot.name, s.name.c_str(), sizeof slot.name - 1);
        std::strncpy(slot.icon, s.icon.c_str(), sizeof slot.icon - 1);
        for (uint32_t c = 0; c < TidewellRuntimeMaxChannels; ++c) {
            slot.channelGains[c] = c < s.channelGains.size() ? s.channelGains[c] : 1.0f;
        }
        for (size_t r = 0; r < s.routes.size() && r < TidewellRuntimeMaxRoutes; ++r) slot.routes[r] = s.routes[r];
        TidewellRegionWriteBytes(base_, TidewellRuntimeSlotOffset(index), &slot, sizeof slot);
    }

    std::string name_;
    unsigned char* base_ = nullptr;
};

struct Notification {
    AudioObjectID object;
    std::vector<AudioObjectPropertyAddress> addresses;
};

// The host interface handed to the driver. Everything it receives is recorded.
class RecordingHost {
public:
    static RecordingHost& shared() {
        static RecordingHost* host = new RecordingHost();  // outlives the reconcile thread
        return *host;
    }

    AudioServerPlugInHostRef ref() const { return &interface_; }

    std::vector<Notification> notifications() {
        std::lock_guard<std::mutex> lock(mutex_);
        return notifications_;
    }
    std::vector<AudioObjectID> configurationRequests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        notifications_.clear();
        requests_.clear();
    }
    void setRequestResult(OSStatus status) { requestResult_ = status; }

    // True when the object was notified of the selector (in any scope).
    bool notified(AudioObjectID object, AudioObjectPropertySelector selector) {
        for (const auto& n : notifications()) {
            if (n.object != object) continue;
            for (const auto& a : n.addresses) {
                if (a.mSelector == selector) return true;
            }
        }
        return false;
    }

private:
    RecordingHost() {
        std::memset(&interface_, 0, sizeof interface_);
        interface_.PropertiesChanged = &RecordingHost::propertiesChanged;
        interface_.RequestDeviceConfigurationChange = &RecordingHost::requestChange;
    }
    static OSStatus propertiesChanged(AudioServerPlugInHostRef, AudioObjectID object, UInt32 count,
                                      const AudioObjectPropertyAddress* addresses) {
        auto& self = shared();
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.notifications_.push_back({object, {addresses, addresses + count}});
        return 0;
    }
    static OSStatus requestChange(AudioServerPlugInHostRef, AudioObjectID device, UInt64 action, void* info) {
        auto& self = shared();
        std::lock_guard<std::mutex> lock(self.mutex_);
        EXPECT_EQ(action, kTWConfigurationChangeAction);
        EXPECT_EQ(info, nullptr);
        self.requests_.push_back(device);
        return self.requestResult_;
    }

    AudioServerPlugInHostInterface interface_;
    std::mutex mutex_;
    std::vector<Notification> notifications_;
    std::vector<AudioObjectID> requests_;
    OSStatus requestResult_ = 0;
};

// The driver reference, from the exported factory.
inline AudioServerPlugInDriverRef Driver() {
    static AudioServerPlugInDriverRef ref = [] {
        void* r = TidewellHALFactory(nullptr, kAudioServerPlugInTypeUUID);
        return static_cast<AudioServerPlugInDriverRef>(r);
    }();
    return ref;
}
inline AudioServerPlugInDriverInterface& Table() { return **Driver(); }

// A private region name for this process.
inline std::string UniqueName(const char* tag) {
    return std::string("/twtest-") + tag + "-" + std::to_string(getpid());
}

// Initialises the driver once per process, with the timer off and a private region name.
inline void InitializeDriverOnce(const std::string& regionName) {
    static bool done = [&] {
        TWSetReconcileTimerEnabled(false);
        TWSetRuntimeSharedMemoryName(regionName.c_str());
        return Table().Initialize(Driver(), RecordingHost::shared().ref()) == 0;
    }();
    ASSERT_TRUE(done);
}

inline AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                          AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

inline OSStatus GetSize(AudioObjectID object, AudioObjectPropertySelector selector, UInt32* size,
                        AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal, UInt32 qualifierSize = 0,
                        const void* qualifier = nullptr) {
    AudioObjectPropertyAddress a = Address(selector, scope);
    return Table().GetPropertyDataSize(Driver(), object, 0, &a, qualifierSize, qualifier, size);
}

template <typename T>
inline OSStatus Get(AudioObjectID object, AudioObjectPropertySelector selector, T* value,
                    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal, UInt32* outSize = nullptr,
                    UInt32 qualifierSize = 0, const void* qualifier = nullptr) {
    AudioObjectPropertyAddress a = Address(selector, scope);
    UInt32 written = 0;
    OSStatus s = Table().GetPropertyData(Driver(), object, 0, &a, qualifierSize, qualifier, sizeof(T), &written, value);
    if (outSize) *outSize = written;
    return s;
}

inline UInt32 GetU32(AudioObjectID object, AudioObjectPropertySelector selector,
                     AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    UInt32 value = 0xDEADBEEF;
    EXPECT_EQ(Get(object, selector, &value, scope), 0) << "selector " << std::hex << selector;
    return value;
}

inline std::string GetString(AudioObjectID object, AudioObjectPropertySelector selector) {
    CFStringRef s = nullptr;
    EXPECT_EQ(Get(object, selector, &s), 0);
    if (s == nullptr) return "<null>";
    char buffer[512];
    std::string result = CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<bad>";
    CFRelease(s);
    return result;
}

inline std::vector<AudioObjectID> DeviceList() {
    UInt32 size = 0;
    EXPECT_EQ(GetSize(kTWPlugInObjectID, kAudioPlugInPropertyDeviceList, &size), 0);
    std::vector<AudioObjectID> ids(size / 4);
    AudioObjectPropertyAddress a = Address(kAudioPlugInPropertyDeviceList);
    UInt32 written = 0;
    EXPECT_EQ(Table().GetPropertyData(Driver(), kTWPlugInObjectID, 0, &a, 0, nullptr, size, &written, ids.data()), 0);
    ids.resize(written / 4);
    return ids;
}

inline AudioObjectID DeviceForUID(const std::string& uid) {
    CFStringRef s = CFStringCreateWithCString(nullptr, uid.c_str(), kCFStringEncodingUTF8);
    AudioObjectID id = 0xFFFFFFFF;
    UInt32 written = 0;
    EXPECT_EQ(Get(kTWPlugInObjectID, kAudioPlugInPropertyTranslateUIDToDevice, &id, kAudioObjectPropertyScopeGlobal,
                  &written, sizeof s, &s),
              0);
    CFRelease(s);
    return id;
}

// Retires every device the tests published and frees them (IO must have been stopped),
// leaving only the legacy device.
inline void RetireAll(RuntimeRegion& region) {
    region.publish({});
    TWReconcileNow();
    TWReconcileNow();
}

}  // namespace twtest
