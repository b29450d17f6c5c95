// audioserverd's object model, property answers, client connections and control
// requests. One mutex guards the model; it is never held while waiting for an IO thread.
#pragma once

#include "Engine.h"

#include <AudioProtocol/Protocol.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace audioserver {

struct PropValue {
    audioproto::ValueKind kind = audioproto::ValueKind::Plain;
    std::vector<uint8_t> bytes;
    std::string text;
    uint32_t size() const { return kind == audioproto::ValueKind::Plain ? static_cast<uint32_t>(bytes.size()) : 8u; }
};

struct Connection;
class Server;

struct Object {
    virtual ~Object() = default;
    AudioObjectID id = 0;
    AudioObjectID owner = kAudioObjectSystemObject;
    virtual AudioClassID classID() const = 0;
    virtual AudioClassID baseClassID() const { return kAudioObjectClassID; }
    virtual std::vector<AudioObjectID> ownedObjects() const { return {}; }
    // The whole value of a property; 'who?' when the object has no such property.
    virtual OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& qualifier, PropValue& out) const;
    virtual bool settable(const AudioObjectPropertyAddress&) const { return false; }
};

struct DeviceDescription {
    std::string name;
    std::string uid;
    std::string manufacturer = "Tidewell Audio";
    uint32_t transport = kAudioDeviceTransportTypeBuiltIn;
    double rate = 48000.0;
    std::vector<StreamSpec> inputs;
    std::vector<StreamSpec> outputs;
    uint32_t bufferMin = 32;
    uint32_t bufferMax = 4096;
    uint32_t bufferFrames = 512;
    double driftPpm = 0.0;
};

struct Device;

// The late cycles of one client process's IO on a device, for `audioctl counters`.
struct ClientLateCount {
    pid_t pid = 0;
    std::string name;  // the bundle id it connected with (by default its executable's name)
    uint32_t clientID = 0;
    uint64_t lateCycles = 0;
};

struct Stream : Object {
    Device* device = nullptr;
    bool isInput = false;
    uint32_t index = 0;
    uint32_t startingChannel = 1;
    StreamSpec desc;
    AudioClassID classID() const override { return kAudioStreamClassID; }
    OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& q, PropValue& out) const override;
};

struct Device : Object {
    DeviceDescription desc;
    std::vector<std::shared_ptr<Stream>> streams;  // inputs first, then outputs
    EngineDevice io;
    std::unique_ptr<DeviceEngine> engine;
    uint32_t nextClientID = 1;
    bool alive = true;
    bool tapsPublished = false;  // model mutex: the engine has been given a tap set
    uint64_t tapGeneration = 0;  // model mutex: the tap set it was given
    // Clients that left after being late, so a lost frame can still be traced to them
    // (model mutex; the latest kDepartedLateLimit).
    std::deque<ClientLateCount> departedLate;
    static constexpr size_t kDepartedLateLimit = 16;

    AudioClassID classID() const override { return kAudioDeviceClassID; }
    std::vector<AudioObjectID> ownedObjects() const override;
    OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& q, PropValue& out) const override;
    bool settable(const AudioObjectPropertyAddress& a) const override;
    std::vector<const Stream*> streamsIn(AudioObjectPropertyScope scope) const;
    // A client's IO proc joins the device's cycle (before its first cycle) or has left it.
    virtual void clientStarting(uint32_t clientID, pid_t pid) { (void)clientID, (void)pid; }
    virtual void clientStopped(uint32_t clientID, pid_t pid) { (void)clientID, (void)pid; }
};

struct ProcessObject : Object {
    pid_t pid = 0;
    std::string bundleID;
    AudioClassID classID() const override { return kAudioProcessClassID; }
    OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& q, PropValue& out) const override;
};

struct Connection;

// A process tap: what its creator described, and the state the engines share.
struct TapObject : Object {
    std::string name;
    std::string uuid;  // upper case
    std::vector<AudioObjectID> processes;
    bool isPrivate = false;
    double rate = 48000.0;  // its aggregate's clock rate, else the default output's
    const Connection* creator = nullptr;
    AudioObjectID aggregate = 0;  // the aggregate presenting it (at most one)
    std::shared_ptr<TapState> state;
    std::map<AudioObjectID, std::shared_ptr<TapRing>> rings;  // by producing device
    AudioClassID classID() const override { return kAudioTapClassID; }
    OSStatus get(const AudioObjectPropertyAddress& a, const audioproto::WireValue& q, PropValue& out) const override;
};

// A device whose input is one or more taps, paced like its clock device.
struct AggregateDevice : Device {
    const Connection* creator = nullptr;
    bool isPrivate = false;
    bool tapAutoStart = false;
    std::vector<std::shared_ptr<TapState>> taps;  // one per input stream
    std::vector<AudioObjectID> tapIDs;
    std::vector<bool> tapDrift;  // drift compensation, per tap
    std::shared_ptr<std::atomic<uint32_t>> startGeneration = std::make_shared<std::atomic<uint32_t>>(0);
    std::mutex runMutex;  // guards the two below
    int activeClients = 0;
    bool destroyed = false;

    bool settable(const AudioObjectPropertyAddress& a) const override;
    void clientStarting(uint32_t clientID, pid_t pid) override;
    void clientStopped(uint32_t clientID, pid_t pid) override;
    // The aggregate goes away: its taps stop running on its account.
    void retire();
};

// How the server answers requests to create a tap.
struct TapPermission {
    enum class Mode { Allow, Deny, Prompt } mode = Mode::Allow;
    enum class Answer { Allow, Deny, Never } answer = Answer::Allow;  // of a prompt
    double seconds = 0;  // a prompt's wait before its answer
};

// A tap as a client asks for it.
struct TapRequest {
    std::string name;
    std::string uuid;
    std::vector<AudioObjectID> processes;
    bool exclusive = false, isPrivate = false, mono = false, mixdown = true;
    int32_t mute = 0;
};

struct Connection {
    int fd = -1;
    pid_t pid = 0;
    std::string bundleID;
    std::mutex sendMutex;
    std::thread thread;
    bool closed = false;
    AudioObjectID processObject = 0;  // guarded by the server's model mutex
    std::map<AudioObjectID, std::shared_ptr<EngineClient>> io;  // by device; model mutex
    std::set<AudioObjectID> activeIO;  // devices whose cycle includes this client; model mutex
    std::atomic<bool> departed{false};  // set (under the model mutex) once it disconnects
};

struct Fault {
    int32_t status = 0;
    int64_t remaining = 0;  // < 0: every call
};

class PlugInHost;

class Server {
    friend class PlugInHost;
    // The fuzz targets of the request decoding (fuzz/) drive handle() on a connection of their
    // own and control() directly.
    friend struct ServerRequestFuzzAccess;
    friend struct ServerControlFuzzAccess;
    // The in-process tests of the plug-in host look at the devices it mirrors.
    friend struct PlugInHostTestAccess;

public:
    Server(std::string socketPath, bool defaultDevices);
    ~Server();
    // Binds the socket; false (with a message on stderr) when another server answers or
    // the socket cannot be made.
    bool listen();
    // Serves until a shutdown request or SIGTERM/SIGINT; then stops every engine,
    // completes captures and removes the socket.
    void run();
    // Serves no socket, for the fuzz targets and the in-process tests, which hand it requests
    // themselves: the emulated devices and the notifications as run() has them, and the
    // plug-in of a driver linked into the process when one is given. The server then lives as
    // long as the process.
    void startInProcess(AudioServerPlugInFactoryFunction linkedDriver = nullptr);

private:
    using Notes = std::vector<std::pair<AudioObjectID, AudioObjectPropertyAddress>>;

    // Objects and property requests (ServerObjects.cpp).
    AudioObjectID allocateID();
    // `made`: a device object of a derived kind to fill in (plug-in devices).
    std::shared_ptr<Device> addDevice(const DeviceDescription& desc, Notes& notes,
                                      std::shared_ptr<Device> made = nullptr);  // model mutex held
    void removeDevice(const std::shared_ptr<Device>& d, Notes& notes);
    std::shared_ptr<Device> deviceByUID(const std::string& uid) const;
    std::shared_ptr<Device> deviceByID(AudioObjectID id) const;
    std::shared_ptr<Object> object(AudioObjectID id) const;

    // 0 when `q` is a qualifier the selector takes, else the status the request is refused
    // with. getValue() and setValue() ask it before any object (or plug-in) sees `q`.
    static OSStatus checkQualifier(AudioObjectPropertySelector selector, const audioproto::WireValue& q);
    OSStatus systemGet(const Connection& c, const AudioObjectPropertyAddress& a, const audioproto::WireValue& q,
                       PropValue& out) const;
    OSStatus getValue(const Connection& c, AudioObjectID obj, const AudioObjectPropertyAddress& a,
                      const audioproto::WireValue& q, PropValue& out) const;
    OSStatus setValue(Connection& c, AudioObjectID obj, const AudioObjectPropertyAddress& a,
                      const audioproto::WireValue& q, const std::vector<uint8_t>& data, Notes& notes);
    bool isSettable(AudioObjectID obj, const AudioObjectPropertyAddress& a) const;

    // Client connections, their requests and IO, notifications (ServerConnections.cpp).
    void serve(const std::shared_ptr<Connection>& c);
    void handle(const std::shared_ptr<Connection>& c, const audioproto::Header& h, const std::vector<uint8_t>& payload);
    void disconnect(const std::shared_ptr<Connection>& c);
    void reply(Connection& c, const audioproto::Header& req, int32_t status, const std::vector<uint8_t>& payload = {},
               int passFd = -1);
    int32_t consumeFault(const std::string& call);
    void stopIO(Connection& c, AudioObjectID device, Notes& notes);
    void notify(const Notes& notes);
    void notifierLoop();
    // Control requests from audioctl (ServerControl.cpp).
    std::string control(const std::string& request, bool& shutdown);
    // Taps and aggregates (ServerTaps.cpp).
    bool visibleTo(const Object& o, const Connection& c) const;  // model mutex held
    void handleTapRequest(const std::shared_ptr<Connection>& c, const audioproto::Header& h,
                          const std::vector<uint8_t>& payload);
    OSStatus createTap(Connection& c, const TapRequest& d, AudioObjectID& id, Notes& notes);  // model mutex held
    OSStatus destroyTap(Connection& c, AudioObjectID id, Notes& notes);                      // model mutex held
    OSStatus createAggregate(Connection& c, const std::vector<uint8_t>& plist, AudioObjectID& id, Notes& notes);
    OSStatus destroyAggregate(Connection& c, AudioObjectID id, Notes& notes);
    // Gives every engine its current tap set (never with the model mutex held).
    void publishTaps();
    void removeTapsOf(Connection& c, Notes& notes);
    void promptThenCreate(std::shared_ptr<Connection> c, audioproto::Header h, TapRequest d, TapPermission p);
    std::string controlTapPermission(const nlohmann::json& req);
    std::string controlTapRates(const nlohmann::json& req);
    // The socket and the server's life (Server.cpp).
    void shutdown();
    // The emulated built-in output, microphone and USB interface (takes the model mutex).
    void addDefaultDevices();

    std::string socketPath_;
    int listenFd_ = -1;
    uint64_t instanceID_ = 0;
    bool defaultDevices_ = true;

    mutable std::mutex mutex_;  // the model
    std::map<AudioObjectID, std::shared_ptr<Object>> objects_;
    std::vector<std::shared_ptr<Device>> devices_;
    std::vector<std::shared_ptr<ProcessObject>> processes_;
    AudioObjectID defaultInput_ = 0, defaultOutput_ = 0, defaultSystemOutput_ = 0;
    AudioObjectID nextID_ = 0, idLimit_ = 0;

    std::mutex faultMutex_;
    std::map<std::string, Fault> faults_;

    std::mutex connMutex_;
    std::vector<std::shared_ptr<Connection>> connections_;

    std::mutex noteMutex_;
    std::condition_variable noteCv_;
    std::deque<std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>>> noteQueue_;
    bool noteStop_ = false;
    std::thread notifier_;

    std::vector<std::shared_ptr<TapObject>> taps_;  // model mutex
    uint64_t tapGeneration_ = 0;                     // model mutex
    std::mutex tapPublishMutex_;                     // one publication at a time, in order

    std::mutex promptMutex_;  // the permission policy and pending prompts
    std::condition_variable promptCv_;
    TapPermission permission_;
    // For tests of clients that check what a tap delivers: the rate tap formats report and
    // the rate aggregates really run at, for aggregates made from now on (0: the clock's).
    double tapLabelledRate_ = 0, tapDeliveredRate_ = 0;  // promptMutex_
    int promptsWaiting_ = 0;

    PlugInHost* plugIns_ = nullptr;  // lives as long as the process

    std::atomic<bool> shuttingDown_{false};
    int wakePipe_[2] = {-1, -1};
};

}  // namespace audioserver
