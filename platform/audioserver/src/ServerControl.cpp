// Control requests (audioctl): emulated devices, test signals, captures, injected faults
// and counters.
#include "Server.h"

#include <AudioToolsCommon/Wav.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <unistd.h>

namespace audioserver {

using nlohmann::json;

namespace {

uint32_t ParseFourCC(const std::string& s, uint32_t fallback) {
    if (s.size() != 4) return fallback;
    return AUDIO_FOUR_CC(s[0], s[1], s[2], s[3]);
}

// A whole-number field of a request as T, or the fallback when the field is absent. A number T
// cannot hold (out of its range, or with a fraction) is a malformed field: converting it would
// be undefined, or silently another number.
template <typename T>
T WholeField(const json& req, const char* key, T fallback) {
    static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(int64_t));
    const auto it = req.find(key);
    if (it == req.end()) return fallback;
    auto refuse = [key] { return std::invalid_argument(std::string(key) + " must be a whole number in range"); };
    if (it->is_number_unsigned()) {
        const uint64_t v = it->get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<T>::max())) throw refuse();
        return static_cast<T>(v);
    }
    if (it->is_number_integer()) {
        const int64_t v = it->get<int64_t>();
        if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
            (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
            throw refuse();
        return static_cast<T>(v);
    }
    if (it->is_number_float()) {
        // 2^63 bounds what a double can name below int64's largest value.
        const double v = it->get<double>();
        if (!(v == std::floor(v) && v >= static_cast<double>(std::numeric_limits<T>::min()) &&
              v < std::ldexp(1.0, std::numeric_limits<T>::digits)))
            throw refuse();
        return static_cast<T>(v);
    }
    throw refuse();
}

}  // namespace

// ---- control requests (audioctl) ---------------------------------------------------------

static bool ParseStreams(const json& j, const char* key, SampleFormat fmt, std::vector<StreamSpec>& out) {
    if (!j.contains(key)) return true;
    if (!j[key].is_array()) return false;
    for (const auto& v : j[key]) {
        if (!v.is_number_unsigned() || v.get<uint64_t>() == 0 || v.get<uint64_t>() > 64) return false;
        out.push_back({static_cast<uint32_t>(v.get<uint64_t>()), fmt});
    }
    return true;
}

std::string Server::control(const std::string& request, bool& shutdownAfter) {
    json req = json::parse(request, nullptr, false);
    auto fail = [](const std::string& msg) { return json{{"ok", false}, {"error", msg}}.dump(); };
    if (req.is_discarded() || !req.is_object() || !req.contains("op") || !req["op"].is_string())
        return fail("malformed request");
    const std::string op = req["op"];
    Notes notes;
    json answer = {{"ok", true}};
    try {
        if (op == "status") {
            answer["pid"] = getpid();
            answer["instance"] = instanceID_;
        } else if (op == "shutdown") {
            shutdownAfter = true;
        } else if (op == "addDevice") {
            DeviceDescription s;
            s.name = req.value("name", "");
            s.uid = req.value("uid", "");
            if (s.name.empty() || s.uid.empty()) return fail("a device needs a name and a UID");
            s.manufacturer = req.value("manufacturer", s.manufacturer);
            s.transport = ParseFourCC(req.value("transport", "bltn"), 0);
            if (!s.transport) return fail("transport must be four characters");
            s.rate = req.value("rate", 48000.0);
            if (!(s.rate >= 8000.0 && s.rate <= 384000.0)) return fail("rate out of range");
            std::string fmt = req.value("inputFormat", "float32");
            SampleFormat inFmt = fmt == "int24" ? SampleFormat::Int24 : fmt == "int16" ? SampleFormat::Int16 : SampleFormat::Float32;
            if (fmt != "int24" && fmt != "int16" && fmt != "float32") return fail("input format must be float32, int24 or int16");
            if (!ParseStreams(req, "inputs", inFmt, s.inputs) || !ParseStreams(req, "outputs", SampleFormat::Float32, s.outputs))
                return fail("streams are lists of channel counts from 1 to 64");
            if (s.inputs.empty() && s.outputs.empty()) return fail("a device needs at least one stream");
            if (s.inputs.size() > audioproto::kMaxIOStreams || s.outputs.size() > audioproto::kMaxIOStreams)
                return fail("too many streams");
            s.bufferMin = WholeField(req, "bufferMin", 32u);
            s.bufferMax = WholeField(req, "bufferMax", 4096u);
            s.bufferFrames = WholeField(req, "bufferFrames", 512u);
            if (s.bufferMin < 1 || s.bufferMax > audioproto::kMaxIOFrames || s.bufferMin > s.bufferMax)
                return fail("buffer range must lie within 1 to 4096");
            s.driftPpm = req.value("driftPpm", 0.0);
            if (!(std::fabs(s.driftPpm) <= 100000.0)) return fail("drift out of range");
            std::lock_guard<std::mutex> lock(mutex_);
            if (deviceByUID(s.uid)) return fail("a device with UID " + s.uid + " exists");
            answer["id"] = addDevice(s, notes)->id;
        } else if (op == "removeDevice") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
                if (!d) return fail("no device with that UID");
                removeDevice(d, notes);
            }
            d->engine->removeAllClients();
            d->engine->stopCapture();
        } else if (op == "alterDevice") {
            std::lock_guard<std::mutex> lock(mutex_);
            auto d = deviceByUID(req.value("uid", ""));
            if (!d) return fail("no device with that UID");
            if (req.contains("name")) {
                d->desc.name = req.value("name", d->desc.name);
                notes.push_back({d->id, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0}});
            }
            if (req.contains("driftPpm")) {
                double ppm = req.value("driftPpm", 0.0);
                if (!(std::fabs(ppm) <= 100000.0)) return fail("drift out of range");
                d->io.driftPpm.store(ppm);
            }
            if (req.contains("rate")) {
                double rate = req.value("rate", 0.0);
                if (!(rate >= 8000.0 && rate <= 384000.0)) return fail("rate out of range");
                if (d->io.nominalRate.exchange(rate) != rate) {
                    notes.push_back({d->id, {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}});
                    notes.push_back({d->id, {kAudioDevicePropertyActualSampleRate, kAudioObjectPropertyScopeGlobal, 0}});
                    notes.push_back({d->id, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput, 0}});
                    notes.push_back({d->id, {kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeOutput, 0}});
                }
            }
            if (req.contains("bufferFrames")) {
                uint32_t f = WholeField(req, "bufferFrames", 0u);
                if (f < d->desc.bufferMin || f > d->desc.bufferMax) return fail("buffer frame size out of the device's range");
                if (d->io.bufferFrames.exchange(f) != f)
                    notes.push_back({d->id, {kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal, 0}});
            }
        } else if (op == "setDefault") {
            std::lock_guard<std::mutex> lock(mutex_);
            auto d = deviceByUID(req.value("uid", ""));
            if (!d) return fail("no device with that UID");
            std::string which = req.value("which", "");
            AudioObjectID* target = which == "input"    ? &defaultInput_
                                    : which == "output" ? &defaultOutput_
                                    : which == "system" ? &defaultSystemOutput_
                                                        : nullptr;
            if (!target) return fail("which must be input, output or system");
            if ((which == "input" ? d->desc.inputs : d->desc.outputs).empty())
                return fail("the device has no " + std::string(which == "input" ? "input" : "output") + " streams");
            AudioObjectPropertySelector sel = which == "input"    ? kAudioHardwarePropertyDefaultInputDevice
                                              : which == "output" ? kAudioHardwarePropertyDefaultOutputDevice
                                                                  : kAudioHardwarePropertyDefaultSystemOutputDevice;
            if (*target != d->id) {
                *target = d->id;
                notes.push_back({kAudioObjectSystemObject, {sel, kAudioObjectPropertyScopeGlobal, 0}});
            }
        } else if (op == "signal") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
            }
            if (!d) return fail("no device with that UID");
            uint32_t inCh = d->io.inputChannels();
            if (inCh == 0) return fail("the device has no inputs");
            int channel = WholeField(req, "channel", 0);
            if (channel < 0 || channel > int(inCh)) return fail("channel out of range");
            ChannelSignal sig;
            std::string type = req.value("type", "");
            if (type == "silence") {
                sig.type = SignalType::Silence;
            } else if (type == "sine") {
                sig.type = SignalType::Sine;
                sig.frequency = req.value("frequency", 0.0);
                double level = req.value("level", -20.0);
                if (!(sig.frequency > 0 && sig.frequency < d->io.nominalRate.load() / 2)) return fail("frequency out of range");
                if (!(level <= 0.0 && level > -200.0)) return fail("level must be a dBFS value at most 0");
                sig.amplitude = std::pow(10.0, level / 20.0);
            } else if (type == "samples") {
                if (!req.contains("samples") || !req["samples"].is_array() || req["samples"].empty())
                    return fail("samples must be a non-empty list");
                auto v = std::make_shared<std::vector<float>>();
                for (const auto& s : req["samples"]) {
                    if (!s.is_number()) return fail("samples must be numbers");
                    // Clamped as a double: a number beyond a float's range has no float.
                    v->push_back(static_cast<float>(std::clamp(s.get<double>(), -1.0, 1.0)));
                }
                sig.type = SignalType::Samples;
                sig.samples = v;
            } else if (type == "wav") {
                tidewell::tools::AudioData audio;
                try {
                    audio = tidewell::tools::readWav(req.value("path", ""));
                } catch (const std::exception& e) {
                    return fail("cannot read " + req.value("path", "") + ": " + e.what());
                }
                if (audio.channels == 0 || audio.frames() == 0) return fail("the file holds no audio");
                // File channel k plays on device channel k (wrapping round the file's
                // channels); a single chosen channel gets the file's first channel.
                for (uint32_t ch = 0; ch < inCh; ++ch) {
                    if (channel != 0 && ch != uint32_t(channel - 1)) continue;
                    uint32_t from = channel != 0 ? 0 : ch % audio.channels;
                    auto v = std::make_shared<std::vector<float>>();
                    v->reserve(audio.frames());
                    for (size_t i = 0; i < audio.frames(); ++i) v->push_back(audio.samples[i * audio.channels + from]);
                    ChannelSignal one;
                    one.type = SignalType::Samples;
                    one.samples = v;
                    d->engine->setSignal(int(ch), one);
                }
                notify(notes);
                return answer.dump();
            } else {
                return fail("signal type must be silence, sine, samples or wav");
            }
            d->engine->setSignal(channel - 1, sig);
        } else if (op == "captureStart") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
            }
            if (!d) return fail("no device with that UID");
            if (d->io.outputChannels() == 0) return fail("the device has no outputs");
            std::string error;
            bool wasRunning = d->engine->running();
            if (!d->engine->startCapture(req.value("path", ""), error)) return fail(error);
            if (!wasRunning) notes.push_back({d->id, {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal, 0}});
        } else if (op == "captureStop") {
            std::shared_ptr<Device> d;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                d = deviceByUID(req.value("uid", ""));
            }
            if (!d) return fail("no device with that UID");
            uint64_t first = 0;
            if (!d->engine->stopCapture(&first)) return fail("no capture runs on that device");
            // Where the capture sits on the host clock (0: it caught no frame).
            answer["firstHostNanos"] = first;
        } else if (op == "fail") {
            std::string call = req.value("call", "");
            if (call.empty()) return fail("name the call to fail");
            int32_t status = WholeField<int32_t>(req, "status", 0);
            int64_t count = WholeField<int64_t>(req, "count", 1);
            std::lock_guard<std::mutex> lock(faultMutex_);
            if (status == 0) faults_.erase(call);
            else faults_[call] = Fault{status, count == 0 ? -1 : count};
        } else if (op == "tapPermission") {
            return controlTapPermission(req);
        } else if (op == "tapRates") {
            return controlTapRates(req);
        } else if (op == "counters") {
            std::lock_guard<std::mutex> lock(mutex_);
            std::vector<std::shared_ptr<Connection>> conns;
            {
                std::lock_guard<std::mutex> connLock(connMutex_);
                conns = connections_;
            }
            auto entry = [](const ClientLateCount& k, bool present) {
                return json{{"pid", k.pid}, {"name", k.name}, {"clientID", k.clientID}, {"lateCycles", k.lateCycles},
                            {"present", present}};
            };
            json devs = json::array();
            for (const auto& d : devices_) {
                EngineCounters k = d->engine->counters();
                // Per client: those with an IO block on the device now, then those that
                // left after being late.
                std::vector<ClientLateCount> present;
                for (const auto& c : conns)
                    if (auto it = c->io.find(d->id); it != c->io.end())
                        present.push_back({c->pid, c->bundleID, it->second->clientID, it->second->lateCycles.load()});
                std::sort(present.begin(), present.end(), [](const auto& a, const auto& b) { return a.clientID < b.clientID; });
                json clients = json::array();
                for (const auto& p : present) clients.push_back(entry(p, true));
                for (const auto& p : d->departedLate) clients.push_back(entry(p, false));
                devs.push_back({{"uid", d->desc.uid}, {"cycles", k.cycles}, {"lateClientCycles", k.lateClientCycles},
                                {"stalledCycles", k.stalledCycles}, {"running", d->engine->running()}, {"clients", clients}});
            }
            answer["devices"] = devs;
        } else {
            return fail("unknown request " + op);
        }
    } catch (const json::exception& e) {
        return fail(std::string("bad request: ") + e.what());
    } catch (const std::invalid_argument& e) {
        return fail(std::string("bad request: ") + e.what());
    }
    notify(notes);
    return answer.dump();
}

}  // namespace audioserver
