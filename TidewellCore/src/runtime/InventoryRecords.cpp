#include "TidewellCore/InventoryRecords.h"

#include "TidewellCore/ConfigJSON.h"
#include "TidewellCore/RuntimeRouteMap.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace tidewell {

using Json = nlohmann::ordered_json;

std::string_view rawValue(PermissionStatus status)
{
    switch (status) {
    case PermissionStatus::notDetermined:
        return "notDetermined";
    case PermissionStatus::granted:
        return "granted";
    case PermissionStatus::denied:
        return "denied";
    case PermissionStatus::restricted:
        return "restricted";
    case PermissionStatus::unknown:
        return "unknown";
    }
    return "unknown";
}

std::optional<PermissionStatus> permissionStatusFromRawValue(std::string_view raw)
{
    for (PermissionStatus status : allPermissionStatuses) {
        if (rawValue(status) == raw) {
            return status;
        }
    }
    return std::nullopt;
}

namespace {

// ---- encoding

Json toJson(const AudioDeviceInfo &v)
{
    Json j;
    j["uid"] = v.uid;
    j["name"] = v.name;
    j["channelCount"] = v.channelCount;
    j["isDefault"] = v.isDefault;
    if (v.channelNames) {
        j["channelNames"] = *v.channelNames;
    }
    return j;
}

Json toJson(const AudioDeviceInventory &v)
{
    Json j;
    j["inputs"] = Json::array();
    for (const auto &d : v.inputs) {
        j["inputs"].push_back(toJson(d));
    }
    j["outputs"] = Json::array();
    for (const auto &d : v.outputs) {
        j["outputs"].push_back(toJson(d));
    }
    return j;
}

Json toJson(const ApplicationSourceCandidate &v)
{
    Json j;
    j["displayName"] = v.displayName;
    if (v.bundleIdentifier) {
        j["bundleIdentifier"] = *v.bundleIdentifier;
    }
    if (v.pid) {
        j["pid"] = *v.pid;
    }
    if (v.processObjectID) {
        j["processObjectID"] = *v.processObjectID;
    }
    return j;
}

Json toJson(PermissionStatus v)
{
    return Json(std::string(rawValue(v)));
}

Json toJson(const DeviceTemplate &v)
{
    if (!std::isfinite(v.sampleRate)) {
        throw EncodingError(EncodingError::Kind::invalidValue, "sampleRate", "a number that is not finite");
    }
    Json j;
    j["name"] = v.name;
    j["sampleRate"] = v.sampleRate;
    j["channelCount"] = v.channelCount;
    return j;
}

Json toJson(const HealthReport &v)
{
    Json j;
    j["agentVersion"] = v.agentVersion;
    j["minimumSupportedOS"] = v.minimumSupportedOS;
    j["configURL"] = v.configURL;
    j["deviceCount"] = v.deviceCount;
    j["validation"] = Json::parse(JSONEncoder::tidewell().encode(v.validation));
    j["audioCapturePermission"] = toJson(v.audioCapturePermission);
    j["microphonePermission"] = toJson(v.microphonePermission);
    j["halDriverLoaded"] = v.halDriverLoaded;
    return j;
}

Json toJson(const InstallResult &v)
{
    Json j;
    j["succeeded"] = v.succeeded;
    j["message"] = v.message;
    return j;
}

Json toJson(const HALDeviceSummary &v)
{
    Json j;
    j["uid"] = v.uid;
    j["name"] = v.name;
    j["inputChannelCount"] = v.inputChannelCount;
    j["outputChannelCount"] = v.outputChannelCount;
    return j;
}

Json toJson(const RuntimeChannelRoute &v)
{
    Json j;
    j["sourceChannel"] = v.sourceChannel;
    j["outputChannel"] = v.outputChannel;
    return j;
}

template <class T>
std::string encodeText(const T &value)
{
    return toJson(value).dump(2);
}

// ---- decoding

std::string join(const std::string &path, const std::string &key)
{
    return path.empty() ? key : path + "." + key;
}

[[noreturn]] void fail(DecodingError::Kind kind, const std::string &path, const std::string &detail)
{
    throw DecodingError(kind, path, detail);
}

const Json &requireObject(const Json &j, const std::string &path)
{
    if (!j.is_object()) {
        fail(DecodingError::Kind::typeMismatch, path, "expected an object");
    }
    return j;
}

// The member `key`: nullptr when absent (or null) and `optional`; else a failure.
const Json *member(const Json &object, const char *key, const std::string &path, bool optional)
{
    auto found = object.find(key);
    if (found == object.end()) {
        if (optional) {
            return nullptr;
        }
        fail(DecodingError::Kind::keyNotFound, join(path, key), "no value for this key");
    }
    if (found->is_null()) {
        if (optional) {
            return nullptr;
        }
        fail(DecodingError::Kind::valueNotFound, join(path, key), "null where a value is required");
    }
    return &*found;
}

std::string asString(const Json &j, const std::string &path)
{
    if (!j.is_string()) {
        fail(DecodingError::Kind::typeMismatch, path, "expected a string");
    }
    return j.get<std::string>();
}

bool asBool(const Json &j, const std::string &path)
{
    if (!j.is_boolean()) {
        fail(DecodingError::Kind::typeMismatch, path, "expected a boolean");
    }
    return j.get<bool>();
}

int64_t asInt64(const Json &j, const std::string &path)
{
    if (j.is_number_unsigned()) {
        const auto v = j.get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            fail(DecodingError::Kind::dataCorrupted, path, "number does not fit");
        }
        return static_cast<int64_t>(v);
    }
    if (j.is_number_integer()) {
        return j.get<int64_t>();
    }
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
            return static_cast<int64_t>(d);
        }
        fail(DecodingError::Kind::dataCorrupted, path, "number is not an integer that fits");
    }
    fail(DecodingError::Kind::typeMismatch, path, "expected a number");
}

int32_t asInt32(const Json &j, const std::string &path)
{
    const int64_t v = asInt64(j, path);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
        fail(DecodingError::Kind::dataCorrupted, path, "number does not fit");
    }
    return static_cast<int32_t>(v);
}

uint64_t asUInt64(const Json &j, const std::string &path)
{
    if (j.is_number_unsigned()) {
        return j.get<uint64_t>();
    }
    if (j.is_number_integer()) {
        const auto v = j.get<int64_t>();
        if (v < 0) {
            fail(DecodingError::Kind::dataCorrupted, path, "number does not fit");
        }
        return static_cast<uint64_t>(v);
    }
    if (j.is_number_float()) {
        fail(DecodingError::Kind::dataCorrupted, path, "number is not an integer that fits");
    }
    fail(DecodingError::Kind::typeMismatch, path, "expected a number");
}

double asDouble(const Json &j, const std::string &path)
{
    if (!j.is_number()) {
        fail(DecodingError::Kind::typeMismatch, path, "expected a number");
    }
    return j.get<double>();
}

const Json &asArray(const Json &j, const std::string &path)
{
    if (!j.is_array()) {
        fail(DecodingError::Kind::typeMismatch, path, "expected an array");
    }
    return j;
}

std::string element(const std::string &path, size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

template <class T>
T fromJson(const Json &j, const std::string &path);

template <>
AudioDeviceInfo fromJson<AudioDeviceInfo>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    AudioDeviceInfo v;
    v.uid = asString(*member(j, "uid", path, false), join(path, "uid"));
    v.name = asString(*member(j, "name", path, false), join(path, "name"));
    v.channelCount = asInt64(*member(j, "channelCount", path, false), join(path, "channelCount"));
    v.isDefault = asBool(*member(j, "isDefault", path, false), join(path, "isDefault"));
    if (const Json *names = member(j, "channelNames", path, true)) {
        const std::string at = join(path, "channelNames");
        std::vector<std::string> list;
        for (size_t i = 0; i < asArray(*names, at).size(); ++i) {
            list.push_back(asString((*names)[i], element(at, i)));
        }
        v.channelNames = std::move(list);
    }
    return v;
}

template <>
AudioDeviceInventory fromJson<AudioDeviceInventory>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    AudioDeviceInventory v;
    for (const char *key : {"inputs", "outputs"}) {
        const std::string at = join(path, key);
        const Json &list = asArray(*member(j, key, path, false), at);
        auto &target = std::string(key) == "inputs" ? v.inputs : v.outputs;
        for (size_t i = 0; i < list.size(); ++i) {
            target.push_back(fromJson<AudioDeviceInfo>(list[i], element(at, i)));
        }
    }
    return v;
}

template <>
ApplicationSourceCandidate fromJson<ApplicationSourceCandidate>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    ApplicationSourceCandidate v;
    v.displayName = asString(*member(j, "displayName", path, false), join(path, "displayName"));
    if (const Json *m = member(j, "bundleIdentifier", path, true)) {
        v.bundleIdentifier = asString(*m, join(path, "bundleIdentifier"));
    }
    if (const Json *m = member(j, "pid", path, true)) {
        v.pid = asInt32(*m, join(path, "pid"));
    }
    if (const Json *m = member(j, "processObjectID", path, true)) {
        v.processObjectID = asUInt64(*m, join(path, "processObjectID"));
    }
    return v;
}

template <>
PermissionStatus fromJson<PermissionStatus>(const Json &j, const std::string &path)
{
    auto status = permissionStatusFromRawValue(asString(j, path));
    if (!status) {
        fail(DecodingError::Kind::dataCorrupted, path, "not a permission status");
    }
    return *status;
}

template <>
DeviceTemplate fromJson<DeviceTemplate>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    DeviceTemplate v;
    v.name = asString(*member(j, "name", path, false), join(path, "name"));
    v.sampleRate = asDouble(*member(j, "sampleRate", path, false), join(path, "sampleRate"));
    v.channelCount = asInt64(*member(j, "channelCount", path, false), join(path, "channelCount"));
    return v;
}

template <>
HealthReport fromJson<HealthReport>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    HealthReport v;
    v.agentVersion = asString(*member(j, "agentVersion", path, false), join(path, "agentVersion"));
    v.minimumSupportedOS = asString(*member(j, "minimumSupportedOS", path, false), join(path, "minimumSupportedOS"));
    v.configURL = asString(*member(j, "configURL", path, false), join(path, "configURL"));
    v.deviceCount = asInt64(*member(j, "deviceCount", path, false), join(path, "deviceCount"));
    const Json &validation = *member(j, "validation", path, false);
    try {
        v.validation = JSONDecoder::tidewell().decode<ValidationResult>(validation.dump());
    } catch (const DecodingError &error) {
        fail(error.kind(), join(join(path, "validation"), error.codingPath()), error.detail());
    }
    v.audioCapturePermission =
        fromJson<PermissionStatus>(*member(j, "audioCapturePermission", path, false), join(path, "audioCapturePermission"));
    v.microphonePermission =
        fromJson<PermissionStatus>(*member(j, "microphonePermission", path, false), join(path, "microphonePermission"));
    v.halDriverLoaded = asBool(*member(j, "halDriverLoaded", path, false), join(path, "halDriverLoaded"));
    return v;
}

template <>
InstallResult fromJson<InstallResult>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    InstallResult v;
    v.succeeded = asBool(*member(j, "succeeded", path, false), join(path, "succeeded"));
    v.message = asString(*member(j, "message", path, false), join(path, "message"));
    return v;
}

template <>
HALDeviceSummary fromJson<HALDeviceSummary>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    HALDeviceSummary v;
    v.uid = asString(*member(j, "uid", path, false), join(path, "uid"));
    v.name = asString(*member(j, "name", path, false), join(path, "name"));
    v.inputChannelCount = asInt64(*member(j, "inputChannelCount", path, false), join(path, "inputChannelCount"));
    v.outputChannelCount = asInt64(*member(j, "outputChannelCount", path, false), join(path, "outputChannelCount"));
    return v;
}

template <>
RuntimeChannelRoute fromJson<RuntimeChannelRoute>(const Json &j, const std::string &path)
{
    requireObject(j, path);
    RuntimeChannelRoute v;
    v.sourceChannel = asInt64(*member(j, "sourceChannel", path, false), join(path, "sourceChannel"));
    v.outputChannel = asInt64(*member(j, "outputChannel", path, false), join(path, "outputChannel"));
    return v;
}

} // namespace

namespace InventoryJSON {

std::string encode(const AudioDeviceInfo &value) { return encodeText(value); }
std::string encode(const AudioDeviceInventory &value) { return encodeText(value); }
std::string encode(const ApplicationSourceCandidate &value) { return encodeText(value); }
std::string encode(PermissionStatus value) { return encodeText(value); }
std::string encode(const DeviceTemplate &value) { return encodeText(value); }
std::string encode(const HealthReport &value) { return encodeText(value); }
std::string encode(const InstallResult &value) { return encodeText(value); }
std::string encode(const HALDeviceSummary &value) { return encodeText(value); }
std::string encode(const RuntimeChannelRoute &value) { return encodeText(value); }

template <class T>
T decode(std::string_view text)
{
    Json j;
    try {
        j = Json::parse(text.begin(), text.end());
    } catch (const Json::exception &error) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "", error.what());
    }
    return fromJson<T>(j, "");
}

template AudioDeviceInfo decode<AudioDeviceInfo>(std::string_view);
template AudioDeviceInventory decode<AudioDeviceInventory>(std::string_view);
template ApplicationSourceCandidate decode<ApplicationSourceCandidate>(std::string_view);
template PermissionStatus decode<PermissionStatus>(std::string_view);
template DeviceTemplate decode<DeviceTemplate>(std::string_view);
template HealthReport decode<HealthReport>(std::string_view);
template InstallResult decode<InstallResult>(std::string_view);
template HALDeviceSummary decode<HALDeviceSummary>(std::string_view);
template RuntimeChannelRoute decode<RuntimeChannelRoute>(std::string_view);

} // namespace InventoryJSON

} // namespace tidewell
