// The client library's decoding of what the audio server sends: the answers to property
// and tap requests and the notifications in between. A stand-in server on a private socket
// answers the library's requests from the input, which is a list of records of
// [flags: 1 byte][length: 2 bytes][payload]: with flag 1 the record is a notification sent
// ahead of the next answer, else it is the next answer (status 'who?' with flag 0x80, else 0).
// The process then makes the same fixed series of calls for every input.
#include <AudioClient/AudioHardware.h>
#include <AudioClient/AudioProcessTap.h>
#include <AudioProtocol/Protocol.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using audioproto::Header;
using audioproto::Op;

struct Record {
    bool notification;
    int32_t status;
    std::vector<uint8_t> payload;
};

std::mutex gMutex;
std::deque<Record> gScript;

void Answer(int fd, const Header& request, const std::vector<uint8_t>& requestPayload) {
    std::vector<Record> notes;
    Record answer{false, kAudioHardwareUnspecifiedError, {}};
    {
        std::lock_guard<std::mutex> lock(gMutex);
        while (!gScript.empty()) {
            Record r = std::move(gScript.front());
            gScript.pop_front();
            if (!r.notification) {
                answer = std::move(r);
                break;
            }
            notes.push_back(std::move(r));
        }
    }
    // The value's kind is the property's, as the real server answers: a string value is a
    // new reference the caller owns (a caller that asked for numbers cannot know to release
    // one), and plain bytes for the name would be taken for a reference. Both kinds are laid
    // out alike, so only the kind word changes.
    if (request.op == static_cast<uint32_t>(Op::GetData) && answer.payload.size() >= 4) {
        audioproto::Reader r(requestPayload);
        r.u32();
        const uint32_t selector = r.u32();
        uint32_t kind;
        std::memcpy(&kind, answer.payload.data(), sizeof kind);
        const bool text = selector == kAudioObjectPropertyName;
        const bool isString = kind == static_cast<uint32_t>(audioproto::ValueKind::String) ||
                              kind == static_cast<uint32_t>(audioproto::ValueKind::NullString);
        if (text != isString) {
            kind = static_cast<uint32_t>(text ? audioproto::ValueKind::String : audioproto::ValueKind::Plain);
            std::memcpy(answer.payload.data(), &kind, sizeof kind);
        }
    }
    for (const Record& n : notes) {
        Header h{static_cast<uint32_t>(Op::Notify), 0, 0, 0};
        audioproto::SendMessage(fd, h, n.payload);
    }
    Header h{request.op, request.seq, answer.status, 0};
    audioproto::SendMessage(fd, h, answer.payload);
}

void Serve(int listener) {
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Header h{};
        std::vector<uint8_t> payload;
        int got = -1;
        while (audioproto::ReceiveMessage(fd, h, payload, &got)) {
            if (got >= 0) close(got);
            if (h.op == static_cast<uint32_t>(Op::Hello)) {
                // Always the same server instance: the input is about the calls, not reconnection.
                audioproto::Writer w;
                w.u64(0x7477667a7a000001ull);
                w.i32(getpid());
                Header reply{h.op, h.seq, 0, 0};
                audioproto::SendMessage(fd, reply, w.data());
                continue;
            }
            Answer(fd, h, payload);
        }
        close(fd);
    }
}

OSStatus Listener(AudioObjectID, UInt32 count, const AudioObjectPropertyAddress* addresses, void*) {
    volatile UInt32 sum = 0;
    for (UInt32 i = 0; i < count; ++i) sum = sum + addresses[i].mSelector;
    return 0;
}

void StartServer() {
    static char folder[] = "/tmp/twfuzz-audioclient-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("fuzz: mkdtemp");
        std::exit(2);
    }
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    const std::string path = std::string(folder) + "/control";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0) {
        std::perror("fuzz: cannot listen");
        std::exit(2);
    }
    setenv("AUDIOSERVER_SOCKET", path.c_str(), 1);
    std::thread(Serve, listener).detach();
    AudioObjectPropertyAddress any{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
                                   kAudioObjectPropertyElementWildcard};
    AudioObjectAddPropertyListener(kAudioObjectSystemObject, &any, Listener, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        StartServer();
        started = true;
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gScript.clear();
        size_t at = 0;
        while (at + 3 <= size) {
            const uint8_t flags = data[at];
            size_t length = data[at + 1] | (size_t(data[at + 2]) << 8);
            at += 3;
            if (length > size - at) length = size - at;
            gScript.push_back({(flags & 1) != 0, (flags & 0x80) ? static_cast<int32_t>(kAudioHardwareBadObjectError) : 0,
                               std::vector<uint8_t>(data + at, data + at + length)});
            at += length;
        }
    }

    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain};
    const AudioObjectPropertyAddress translate{kAudioHardwarePropertyTranslateUIDToDevice,
                                               kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    (void)AudioObjectHasProperty(kAudioObjectSystemObject, &devices);
    Boolean settable = false;
    (void)AudioObjectIsPropertySettable(kAudioObjectSystemObject, &devices, &settable);
    UInt32 size32 = 0;
    (void)AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size32);

    AudioObjectID ids[16];
    UInt32 idBytes = sizeof ids;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &idBytes, ids) == 0 &&
        idBytes > sizeof ids)
        std::abort();  // more bytes than the buffer holds

    // A string value: the caller owns what it is given.
    CFStringRef text = nullptr;
    UInt32 textBytes = sizeof text;
    if (AudioObjectGetPropertyData(1000, &name, 0, nullptr, &textBytes, &text) == 0 && text != nullptr) {
        char buffer[64];
        (void)CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
        CFRelease(text);
    }
    // A buffer too small for a string reference.
    uint16_t small = 0;
    UInt32 smallBytes = sizeof small;
    (void)AudioObjectGetPropertyData(1000, &name, 0, nullptr, &smallBytes, &small);

    CFStringRef uid = CFSTR("BuiltInOutputDevice");
    AudioObjectID device = 0;
    UInt32 deviceBytes = sizeof device;
    (void)AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, sizeof uid, &uid, &deviceBytes, &device);

    Float64 rate = 48000.0;
    const AudioObjectPropertyAddress nominal{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    (void)AudioObjectSetPropertyData(1000, &nominal, 0, nullptr, sizeof rate, &rate);

    AudioTapDescription tap = AudioTapDescription::StereoMixdownOfProcesses({});
    AudioObjectID tapID = 0;
    (void)AudioHardwareCreateProcessTap(&tap, &tapID);
    (void)AudioHardwareDestroyProcessTap(tapID);
    // Whatever is left of the script (notifications after the last answer) goes out now.
    (void)AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size32);
    return 0;
}
