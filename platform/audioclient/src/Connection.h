// The client library's one connection per process to the audio server: synchronous
// requests, the reader thread that routes responses and notifications, the notification
// thread that calls listeners, and reconnection after the server went away.
#pragma once

#include <AudioProtocol/Protocol.h>

#include <AudioABI/AudioABI.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace audioclient {

struct Response {
    int32_t status = kAudioHardwareNotRunningError;
    std::vector<uint8_t> payload;
    int fd = -1;  // owned by the receiver
};

class Connection {
public:
    static Connection& Get();

    // Sends one request and waits for its answer. With no server, or when the server goes
    // away meanwhile, the status is kAudioHardwareNotRunningError.
    Response call(audioproto::Op op, const std::vector<uint8_t>& payload, int timeoutMs = 10000);
    // The connection generation the last successful call used (0: none yet). IO blocks
    // of an older generation are dead.
    uint64_t generation();

    OSStatus addListener(AudioObjectID obj, const AudioObjectPropertyAddress& a, AudioObjectPropertyListenerProc proc,
                         void* data);
    OSStatus removeListener(AudioObjectID obj, const AudioObjectPropertyAddress& a,
                            AudioObjectPropertyListenerProc proc, void* data);

    // Called (on the reader thread) when a connection generation ends.
    void setLossHandler(std::function<void(uint64_t generation)> handler);

private:
    Connection() = default;
    bool ensureConnected(std::unique_lock<std::mutex>& lock);
    void readerLoop(int fd, uint64_t gen);
    void notifierLoop();
    void reconnectLoop();
    void lost(int fd, uint64_t gen);
    void post(AudioObjectID obj, std::vector<AudioObjectPropertyAddress> addresses);

    struct Pending {
        bool done = false;
        uint64_t gen = 0;
        Response response;
    };
    struct Listener {
        uint64_t token;
        AudioObjectID obj;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerProc proc;
        void* data;
    };

    std::mutex mutex_;
    std::condition_variable cv_;
    int fd_ = -1;
    uint64_t gen_ = 0;
    uint64_t instance_ = 0;
    bool everConnected_ = false;
    bool reconnecting_ = false;
    uint32_t nextSeq_ = 1;
    std::map<uint32_t, Pending*> pending_;
    std::mutex sendMutex_;
    std::function<void(uint64_t)> lossHandler_;

    std::mutex listenerMutex_;
    std::condition_variable listenerCv_;
    std::vector<Listener> listeners_;
    uint64_t nextToken_ = 1;
    std::deque<std::pair<AudioObjectID, std::vector<AudioObjectPropertyAddress>>> events_;
    bool notifierStarted_ = false;
    bool dispatching_ = false;
    std::thread::id notifierThread_;
};

}  // namespace audioclient
