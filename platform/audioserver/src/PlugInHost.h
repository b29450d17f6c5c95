// The plug-in host: loads audio-server plug-in bundles from the plug-in path, hands each
// driver the host interface, mirrors its devices into the server's object model under
// server ids, forwards property calls to it, and drives its devices' IO from the device
// engine (one ReadInput per client under the client's own id, one WriteMix of the mix of
// every client per cycle, paced by the driver's zero timestamps).
//
// Plug-ins are never unloaded: their timers, mappings and rings live as long as the server.
#pragma once

#include "Server.h"

#include <AudioABI/AudioPlugInInterface.h>
#include <CoreFoundation/CFBundle.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace audioserver {

class PlugInHost;
struct PlugIn;

// Shared by the host (PlugInHost.cpp) and the objects it forwards to (PlugInObjects.cpp).
inline constexpr uint32_t kMaxChannels = 64;
inline AudioServerPlugInDriverInterface& Table(AudioServerPlugInDriverRef driver) { return **driver; }
// The UTF-8 text of a string; "" for null or unconvertible text.
std::string CFText(CFStringRef s);

// A server object whose properties live in a plug-in.
struct ForwardingObject {
    virtual ~ForwardingObject() = default;
    virtual OSStatus forwardSet(const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) = 0;
};

// The plug-in object itself, and objects of a plug-in device that the server does not model
// (its controls).
struct PlugInObject : Object, ForwardingObject {
    PlugIn* plugIn = nullptr;
    AudioObjectID local = 0;
    AudioClassID cls = 0, base = kAudioObjectClassID;
    AudioClassID classID() const override { return cls; }
    AudioClassID baseClassID() const override { return base; }
    OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& q, PropValue& out) const override;
    bool settable(const AudioObjectPropertyAddress& a) const override;
    OSStatus forwardSet(const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) override;
};

// The engine side of a plug-in device. Its IO entry points run on the device's IO thread
// and neither lock nor allocate. A configuration change runs while that thread is paused.
struct PlugInIO : EngineBackend {
    AudioServerPlugInDriverRef driver = nullptr;
    AudioObjectID device = 0, inputStream = 0, outputStream = 0;  // the plug-in's ids
    // The plug-in's channels each way, as its stream formats last said.
    std::atomic<uint32_t> inputChannels{2};
    std::atomic<uint32_t> outputChannels{2};
    std::atomic<uint32_t> periodFrames{512};
    std::atomic<uint64_t> cycle{0};
    std::vector<float> scratch;  // kMaxIOFrames x 64 floats

    PlugInIO();
    bool nextBoundary(uint64_t now, uint64_t& boundary, double& sampleTime) override;
    void readInput(uint32_t clientID, float* interleaved, uint32_t frames, uint32_t blockChannels) override;
    void writeMix(const float* interleaved, uint32_t frames, uint32_t mixChannels) override;

private:
    AudioServerPlugInIOCycleInfo cycleInfo(uint32_t frames) const;
};

struct PlugInDevice : Device, ForwardingObject {
    PlugIn* plugIn = nullptr;
    AudioObjectID local = 0;
    // The engine's backend: its IO thread runs in here. It goes with the device, and only
    // after the engine (see the destructor).
    std::shared_ptr<PlugInIO> pio;
    // Held while a client's IO starts or stops in the plug-in and through a configuration
    // change, so the plug-in never sees StartIO or StopIO during one.
    std::mutex ioControl;
    // Clients whose StartIO the plug-in accepted, guarded by ioControl: only they are
    // stopped, so a refused client's stop never counts against the clients that run.
    std::set<uint32_t> startedClients;
    OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& q, PropValue& out) const override;
    bool settable(const AudioObjectPropertyAddress& a) const override;
    OSStatus forwardSet(const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) override;
    void clientStarting(uint32_t clientID, pid_t pid) override;
    void clientStopped(uint32_t clientID, pid_t pid) override;
    // Ends the engine first: its IO thread (which a capture, or a client that started just as
    // the device was retired, may still run) is joined before the backend it calls is freed.
    ~PlugInDevice() override;
};

// One loaded plug-in. Its host interface comes first, so the callbacks find the record.
struct PlugIn {
    AudioServerPlugInHostInterface hostInterface{};
    PlugInHost* host = nullptr;
    AudioServerPlugInDriverRef driver = nullptr;
    std::string bundlePath;
    std::string bundleID;
    CFBundleRef bundle = nullptr;  // kept as loaded: its Info.plist answers what was loaded
    std::shared_ptr<PlugInObject> object;
    // Plug-in id <-> server id, guarded by the server's model mutex.
    std::map<AudioObjectID, AudioObjectID> toServer;
    std::map<AudioObjectID, AudioObjectID> toLocal;

    AudioObjectID serverID(AudioObjectID local) const;
    AudioObjectID localID(AudioObjectID server) const;
    // Value of a property of a plug-in object, with object ids turned into server ids and
    // string and URL references into text.
    OSStatus get(AudioObjectID local, const AudioObjectPropertyAddress& a, const audioproto::WireValue& q,
                 PropValue& out) const;
    OSStatus set(AudioObjectID local, const AudioObjectPropertyAddress& a, const std::vector<uint8_t>& data) const;
    bool settable(AudioObjectID local, const AudioObjectPropertyAddress& a) const;
};

class PlugInHost {
public:
    explicit PlugInHost(Server& server);
    ~PlugInHost() = delete;  // lives as long as the process: drivers hold its interface

    // Loads every bundle (a folder holding Contents/Info.plist) in the folders of
    // AUDIOSERVER_PLUGIN_PATH (colon-separated), or of the default plug-in folder. Problems
    // are reported on standard error and skip that bundle.
    void loadAll();
    // Hosts a driver that is linked into this process, as loadAll() hosts a bundle's: the
    // fuzz target of the requests and the in-process tests of the host link the plug-in's
    // driver. `name` stands for the bundle's path in messages; there is no Info.plist to
    // answer from.
    void loadLinked(AudioServerPlugInFactoryFunction factory, const std::string& name);

    // System-object answers that involve plug-ins.
    std::vector<AudioObjectID> plugInObjects() const;  // model mutex held
    AudioObjectID plugInForBundleID(const std::string& bundleID) const;  // model mutex held
    // The folders loadAll() looked in, colon-separated, as it read them.
    const std::string& searchPath() const { return searchPath_; }

    static OSStatus PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                      const AudioObjectPropertyAddress* addresses);
    static OSStatus RequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                                     UInt64 action, void* info);

private:
    struct Event {
        PlugIn* plugIn = nullptr;
        AudioObjectID object = 0;  // the plug-in's id
        std::vector<AudioObjectPropertyAddress> addresses;
        bool configurationChange = false;
        UInt64 action = 0;
        void* info = nullptr;
    };

    void load(const std::string& bundlePath);
    // Makes the driver of a factory, mirrors its plug-in object and initialises it.
    void host(AudioServerPlugInFactoryFunction factory, const std::string& bundlePath, CFBundleRef bundle);
    void post(Event event);
    void eventLoop();
    void handle(const Event& event);
    void syncDevices(PlugIn& plugIn);
    void addDevice(PlugIn& plugIn, AudioObjectID local, Server::Notes& notes);  // model mutex held
    void retireDevice(const std::shared_ptr<PlugInDevice>& device, Server::Notes& notes);
    void changeConfiguration(PlugIn& plugIn, AudioObjectID local, UInt64 action, void* info);
    std::shared_ptr<PlugInDevice> deviceFor(PlugIn& plugIn, AudioObjectID local) const;  // model mutex held

    Server& server_;
    std::vector<std::unique_ptr<PlugIn>> plugIns_;
    std::string searchPath_;  // set once by loadAll, before any client connects
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    std::deque<Event> events_;
    std::thread thread_;
};

}  // namespace audioserver
