// IO procs. Per device this process runs IO on, one shared IO block (mapped from the
// server's memfd) and one IO thread that waits for the server's wake-up, runs every
// started proc of the device in turn, sums their outputs into the block and wakes the
// server. The IO thread takes no lock and allocates nothing: procs enter and leave its
// fixed slot table through atomics.
//
// The server writes the block's layout (streams, channels, offsets) with every cycle, so a
// device whose channel count changed reaches running procs from the next cycle on. Each
// cycle's layout is read once, before any proc runs, and checked against the mapping.
#include "Connection.h"

#include <AudioClient/AudioHardware.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using audioclient::Connection;
using audioproto::IOBlockHeader;
using audioproto::kMaxIOFrames;
using audioproto::kMaxIOStreams;
using audioproto::Op;

namespace {

constexpr int kSlots = 16;

struct ProcEntry {
    AudioObjectID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    AudioDeviceIOBlock block;
    dispatch_queue_t queue = nullptr;
    bool started = false;
    int slot = -1;
};

struct DeviceIO {
    ~DeviceIO() {
        if (mapping) munmap(mapping, size);
    }
    AudioObjectID device = 0;
    uint64_t generation = 0;
    void* mapping = nullptr;
    size_t size = 0;
    IOBlockHeader* header = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<pthread_t> ioThread{0};
    struct Slot {
        std::atomic<ProcEntry*> entry{nullptr};
        std::atomic<bool> running{false};
    } slots[kSlots];
    // Allocated before the thread starts. The scratch holds as many output samples as the
    // block could carry in any layout; pages the procs never reach are never touched.
    std::vector<uint8_t> inList, outList;
    std::unique_ptr<float[], decltype(&std::free)> scratch{nullptr, &std::free};
    size_t scratchSamples = 0;
};

// One cycle's layout, copied out of the block.
struct CycleLayout {
    uint32_t frames = 0, inputCount = 0, outputCount = 0;
    audioproto::IOStreamLayout inputs[kMaxIOStreams];
    audioproto::IOStreamLayout outputs[kMaxIOStreams];
};

// A layout is used only when every stream's area lies inside the mapping and the outputs
// fit the scratch.
bool LayoutFits(const CycleLayout& l, size_t mappingSize, size_t scratchSamples) {
    if (l.inputCount > kMaxIOStreams || l.outputCount > kMaxIOStreams) return false;
    for (uint32_t i = 0; i < l.inputCount; ++i) {
        const auto& s = l.inputs[i];
        if (s.channels == 0 || s.bytesPerFrame == 0 || s.bytesPerFrame > 4 * uint64_t(s.channels) ||
            uint64_t(s.offset) + uint64_t(kMaxIOFrames) * s.bytesPerFrame > mappingSize)
            return false;
    }
    uint64_t outputSamples = 0;
    for (uint32_t i = 0; i < l.outputCount; ++i) {
        const auto& s = l.outputs[i];
        if (s.channels == 0 || s.bytesPerFrame != 4 * uint64_t(s.channels) ||
            uint64_t(s.offset) + uint64_t(kMaxIOFrames) * s.bytesPerFrame > mappingSize)
            return false;
        outputSamples += uint64_t(kMaxIOFrames) * s.channels;
    }
    return outputSamples <= scratchSamples;
}

void ReadLayout(const IOBlockHeader* h, CycleLayout& l) {
    l.frames = std::min(h->frames, kMaxIOFrames);
    l.inputCount = h->inputStreamCount;
    l.outputCount = h->outputStreamCount;
    std::memcpy(l.inputs, h->inputs, sizeof l.inputs);
    std::memcpy(l.outputs, h->outputs, sizeof l.outputs);
}

struct IOState {
    std::mutex mutex;  // start/stop/create/destroy; never taken by IO threads
    std::map<ProcEntry*, std::unique_ptr<ProcEntry>> procs;
    std::map<AudioObjectID, std::shared_ptr<DeviceIO>> devices;
};

IOState& State() {
    static IOState* s = [] {
        auto* st = new IOState;
        // When the server goes away, the IO threads of that connection end; the procs
        // stay registered and stopping them still works.
        Connection::Get().setLossHandler([st](uint64_t gen) {
            std::lock_guard<std::mutex> lock(st->mutex);
            for (auto& [dev, io] : st->devices)
                if (io->generation == gen) {
                    io->stop.store(true);
                    audioproto::FutexWake(&io->header->serverSeq);
                }
        });
        return st;
    }();
    return *s;
}

void BuildList(uint8_t* mem, uint8_t* block, const audioproto::IOStreamLayout* layouts, uint32_t count, uint32_t frames,
               float* altBase) {
    auto* list = reinterpret_cast<AudioBufferList*>(mem);
    list->mNumberBuffers = count;
    size_t altOffset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        AudioBuffer& b = list->mBuffers[i];
        b.mNumberChannels = layouts[i].channels;
        b.mDataByteSize = frames * layouts[i].bytesPerFrame;
        if (altBase) {
            b.mData = altBase + altOffset;
            altOffset += size_t(kMaxIOFrames) * layouts[i].channels;
        } else {
            b.mData = block + layouts[i].offset;
        }
    }
}

void RunCycle(DeviceIO& io, uint32_t seq) {
    IOBlockHeader* h = io.header;
    auto* block = static_cast<uint8_t*>(io.mapping);
    CycleLayout l;
    ReadLayout(h, l);
    const bool usable = LayoutFits(l, io.size, io.scratchSamples);
    const uint32_t frames = l.frames;
    const AudioTimeStamp now = h->now, inTime = h->inputTime, outTime = h->outputTime;
    bool first = true;
    for (auto& slot : io.slots) {
        slot.running.store(true);
        ProcEntry* e = usable ? slot.entry.load() : nullptr;
        if (e) {
            // The first proc writes straight into the block (zeroed by the server); later
            // ones into zeroed scratch, which is then added in.
            BuildList(io.inList.data(), block, l.inputs, l.inputCount, frames, nullptr);
            if (!first) {
                size_t alt = 0;
                for (uint32_t s = 0; s < l.outputCount; ++s) {
                    std::fill_n(io.scratch.get() + alt, size_t(frames) * l.outputs[s].channels, 0.0f);
                    alt += size_t(kMaxIOFrames) * l.outputs[s].channels;
                }
            }
            BuildList(io.outList.data(), block, l.outputs, l.outputCount, frames, first ? nullptr : io.scratch.get());
            auto* inList = reinterpret_cast<AudioBufferList*>(io.inList.data());
            auto* outList = reinterpret_cast<AudioBufferList*>(io.outList.data());
            bool ran = true;
            if (e->proc) {
                e->proc(io.device, &now, inList, &inTime, outList, &outTime, e->clientData);
            } else if (e->queue) {
                if (dispatch_queue_try_enter_np(e->queue)) {
                    e->block(&now, inList, &inTime, outList, &outTime);
                    dispatch_queue_leave_np(e->queue);
                } else {
                    ran = false;
                }
            } else {
                e->block(&now, inList, &inTime, outList, &outTime);
            }
            if (ran && !first) {
                size_t alt = 0;
                for (uint32_t s = 0; s < l.outputCount; ++s) {
                    auto* dst = reinterpret_cast<float*>(block + l.outputs[s].offset);
                    size_t n = size_t(frames) * l.outputs[s].channels;
                    for (size_t i = 0; i < n; ++i) dst[i] += io.scratch[alt + i];
                    alt += size_t(kMaxIOFrames) * l.outputs[s].channels;
                }
            }
            if (ran) first = false;
        }
        slot.running.store(false);
    }
    h->clientSeq.store(seq, std::memory_order_release);
    audioproto::FutexWake(&h->clientSeq);
}

void IOThread(std::shared_ptr<DeviceIO> io) {
    io->ioThread.store(pthread_self());
    sched_param sp{};
    sp.sched_priority = std::max(1, sched_get_priority_min(SCHED_FIFO) + 5);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);  // best effort
    pthread_setname_np(pthread_self(), "audioclient-io");
    IOBlockHeader* h = io->header;
    // A fresh block: the server has posted nothing before it was handed to us, and it may
    // post the first cycle before this thread gets here.
    uint32_t last = 0;
    while (!io->stop.load(std::memory_order_acquire)) {
        uint32_t seq = h->serverSeq.load(std::memory_order_acquire);
        if (seq == last) {
            audioproto::FutexWait(&h->serverSeq, seq, 100000000);  // 100 ms: re-check stop
            continue;
        }
        last = seq;
        RunCycle(*io, seq);
    }
}

bool OnIOThread(const DeviceIO& io) {
    return io.ioThread.load() != pthread_t{} && pthread_equal(io.ioThread.load(), pthread_self());
}

ProcEntry* Find(IOState& st, AudioObjectID device, AudioDeviceIOProcID id) {
    auto it = st.procs.find(reinterpret_cast<ProcEntry*>(id));
    if (it == st.procs.end() || it->second->device != device) return nullptr;
    return it->second.get();
}

OSStatus Register(AudioObjectID device, std::unique_ptr<ProcEntry> e, AudioDeviceIOProcID* out, const char* call) {
    audioproto::Writer w;
    w.u32(device);
    w.str(call);
    OSStatus st = Connection::Get().call(Op::CheckDevice, w.data()).status;
    if (st != 0) return st;
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    ProcEntry* raw = e.get();
    e->device = device;
    s.procs[raw] = std::move(e);
    *out = reinterpret_cast<AudioDeviceIOProcID>(raw);
    return 0;
}

void EndThread(const std::shared_ptr<DeviceIO>& io) {
    io->stop.store(true);
    audioproto::FutexWake(&io->header->serverSeq);
    if (!io->thread.joinable()) return;
    if (OnIOThread(*io)) io->thread.detach();  // stopped from its own proc: it ends after this cycle
    else io->thread.join();
}

// Takes the proc out of its device's cycle; with the last proc, the device IO ends.
void StopLocked(IOState& st, ProcEntry* e) {
    auto it = st.devices.find(e->device);
    if (!e->started || it == st.devices.end()) {
        e->started = false;
        return;
    }
    std::shared_ptr<DeviceIO> io = it->second;
    auto& slot = io->slots[e->slot];
    slot.entry.store(nullptr);
    if (!OnIOThread(*io))
        while (slot.running.load()) std::this_thread::yield();
    e->started = false;
    e->slot = -1;
    bool any = false;
    for (auto& s : io->slots) any = any || s.entry.load() != nullptr;
    if (any) return;
    st.devices.erase(it);
    if (io->generation == Connection::Get().generation() && !io->stop.load()) {
        audioproto::Writer w;
        w.u32(e->device);
        Connection::Get().call(Op::IOStop, w.data());
    }
    EndThread(io);
}

}  // namespace

extern "C" {

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                   AudioDeviceIOProcID* outIOProcID) {
    if (!inProc || !outIOProcID) return kAudio_ParamError;
    auto e = std::make_unique<ProcEntry>();
    e->proc = inProc;
    e->clientData = inClientData;
    return Register(inDevice, std::move(e), outIOProcID, "AudioDeviceCreateIOProcID");
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    auto& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    ProcEntry* e = Find(st, inDevice, inIOProcID);
    if (!e) return kAudioHardwareIllegalOperationError;
    StopLocked(st, e);
    if (e->queue) dispatch_release(e->queue);
    st.procs.erase(e);
    return 0;
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    auto& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!inProcID) return 0;  // no proc: nothing of ours to start
    ProcEntry* e = Find(st, inDevice, inProcID);
    if (!e) return kAudioHardwareIllegalOperationError;
    if (e->started) return 0;
    Connection& conn = Connection::Get();

    std::shared_ptr<DeviceIO> io;
    bool fresh = false;
    auto it = st.devices.find(inDevice);
    if (it != st.devices.end() && it->second->generation == conn.generation() && !it->second->stop.load()) {
        io = it->second;
    } else {
        if (it != st.devices.end()) {
            // A block of a server that went away: its thread has ended or ends now.
            EndThread(it->second);
            for (auto& [p, entry] : st.procs)
                if (entry->device == inDevice) entry->started = false;
            st.devices.erase(it);
        }
        audioproto::Writer w;
        w.u32(inDevice);
        audioclient::Response r = conn.call(Op::IOStart, w.data());
        if (r.status != 0) return r.status;
        audioproto::Reader rd(r.payload);
        uint32_t size = rd.u32();
        if (!rd.ok() || r.fd < 0 || size < sizeof(IOBlockHeader)) {
            if (r.fd >= 0) close(r.fd);
            return kAudioHardwareUnspecifiedError;
        }
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, r.fd, 0);
        close(r.fd);
        if (map == MAP_FAILED) return kAudio_MemFullError;
        io = std::make_shared<DeviceIO>();
        io->device = inDevice;
        io->generation = conn.generation();
        io->mapping = map;
        io->size = size;
        io->header = static_cast<IOBlockHeader*>(map);
        const IOBlockHeader* h = io->header;
        // Never trust a layout that would point outside the mapping. Outputs of any later
        // layout lie inside the block too, so a scratch of a quarter of its bytes in samples
        // holds them all.
        io->scratchSamples = size / 4;
        io->scratch.reset(static_cast<float*>(std::calloc(io->scratchSamples, sizeof(float))));
        if (!io->scratch) return kAudio_MemFullError;
        CycleLayout layout;
        ReadLayout(h, layout);
        if (h->magic != audioproto::kIOBlockMagic || h->totalBytes != size ||
            !LayoutFits(layout, size, io->scratchSamples))
            return kAudioHardwareUnspecifiedError;
        io->inList.assign(AUDIO_BUFFER_LIST_SIZE(kMaxIOStreams), 0);
        io->outList.assign(AUDIO_BUFFER_LIST_SIZE(kMaxIOStreams), 0);
        fresh = true;
    }

    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; ++i)
        if (!io->slots[i].entry.load()) slot = i;
    if (slot < 0) return kAudioHardwareIllegalOperationError;
    io->slots[slot].entry.store(e);
    e->slot = slot;
    e->started = true;
    if (fresh) {
        io->thread = std::thread(IOThread, io);
        st.devices[inDevice] = io;
        audioproto::Writer w;
        w.u32(inDevice);
        OSStatus s = conn.call(Op::IOActivate, w.data()).status;
        if (s != 0) {
            io->slots[slot].entry.store(nullptr);
            e->started = false;
            e->slot = -1;
            st.devices.erase(inDevice);
            audioproto::Writer w2;
            w2.u32(inDevice);
            conn.call(Op::IOStop, w2.data());
            EndThread(io);
            return s;
        }
    }
    return 0;
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    auto& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!inProcID) return 0;
    ProcEntry* e = Find(st, inDevice, inProcID);
    if (!e) return kAudioHardwareIllegalOperationError;
    StopLocked(st, e);
    return 0;
}

}  // extern "C"

OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                            dispatch_queue_t inDispatchQueue, AudioDeviceIOBlock inIOBlock) {
    if (!outIOProcID || !inIOBlock) return kAudio_ParamError;
    auto e = std::make_unique<ProcEntry>();
    e->block = std::move(inIOBlock);
    e->queue = inDispatchQueue;
    if (e->queue) dispatch_retain(e->queue);
    ProcEntry* raw = e.get();
    OSStatus st = Register(inDevice, std::move(e), outIOProcID, "AudioDeviceCreateIOProcIDWithBlock");
    if (st != 0 && inDispatchQueue) dispatch_release(inDispatchQueue);
    (void)raw;
    return st;
}
