// The audio devices and the capturable applications, read from the audio server on every call.

#include "TidewellCore/CoreAudioDeviceRegistry.h"

#include <AudioClient/AudioHardware.h>
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "AudioPropertyAccess.h"
#include "TidewellCore/TextUtilities.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace registry_detail {
namespace {

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                   AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
  return AudioObjectPropertyAddress{selector, scope, element};
}

class SystemAccess final : public AudioPropertyAccess {
 public:
  bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override {
    return AudioObjectHasProperty(object, &address) != 0;
  }
  OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               UInt32 qualifierSize, const void* qualifier,
                               UInt32* dataSize) override {
    return AudioObjectGetPropertyDataSize(object, &address, qualifierSize, qualifier, dataSize);
  }
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                           void* data) override {
    return AudioObjectGetPropertyData(object, &address, qualifierSize, qualifier, ioDataSize, data);
  }
  bool processIsAlive(std::int32_t pid) override {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
  }
};

// Takes ownership of a returned string reference.
struct ReleasedString {
  void operator()(const void* value) const {
    if (value) CFRelease(static_cast<CFTypeRef>(value));
  }
};

std::optional<std::string> toText(CFStringRef string) {
  if (!string) return std::nullopt;
  if (const char* direct = CFStringGetCStringPtr(string, kCFStringEncodingUTF8)) return std::string(direct);
  CFIndex capacity =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
  std::string buffer(static_cast<size_t>(std::max<CFIndex>(capacity, 1)), '\0');
  if (!CFStringGetCString(string, buffer.data(), capacity, kCFStringEncodingUTF8)) return std::nullopt;
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

// A string property; nothing when the call fails or yields no reference.
std::optional<std::string> stringProperty(AudioPropertyAccess& access, AudioObjectID object,
                                          const AudioObjectPropertyAddress& address) {
  CFStringRef value = nullptr;
  UInt32 size = sizeof(value);
  if (access.getPropertyData(object, address, 0, nullptr, &size, &value) != 0) {
    if (value) CFRelease(value);
    return std::nullopt;
  }
  std::unique_ptr<const void, ReleasedString> owned(value);
  return toText(value);
}

// A 4-byte value set to 0 beforehand; nothing when the call fails.
template <class Value>
std::optional<Value> plainProperty(AudioPropertyAccess& access, AudioObjectID object,
                                   const AudioObjectPropertyAddress& address) {
  Value value{};
  UInt32 size = sizeof(value);
  if (access.getPropertyData(object, address, 0, nullptr, &size, &value) != 0) return std::nullopt;
  return value;
}

std::vector<AudioObjectID> objectList(AudioPropertyAccess& access, AudioObjectPropertySelector selector) {
  auto where = address(selector);
  UInt32 size = 0;
  if (access.getPropertyDataSize(kAudioObjectSystemObject, where, 0, nullptr, &size) != 0 ||
      size < sizeof(AudioObjectID)) {
    return {};
  }
  std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), 0);
  UInt32 ioSize = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
  if (access.getPropertyData(kAudioObjectSystemObject, where, 0, nullptr, &ioSize, ids.data()) != 0) {
    return {};
  }
  return ids;
}

std::int64_t channelCount(AudioPropertyAccess& access, AudioObjectID device,
                          AudioObjectPropertyScope scope) {
  auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
  UInt32 size = 0;
  if (access.getPropertyDataSize(device, where, 0, nullptr, &size) != 0 || size < 8) return 0;
  std::vector<std::uint8_t> bytes(size, 0);
  UInt32 ioSize = size;
  if (access.getPropertyData(device, where, 0, nullptr, &ioSize, bytes.data()) != 0) return 0;
  // Only the buffers that were actually delivered count.
  UInt32 available = std::min(ioSize, size);
  if (available < sizeof(UInt32)) return 0;
  UInt32 buffers = 0;
  std::memcpy(&buffers, bytes.data(), sizeof buffers);
  std::int64_t total = 0;
  for (UInt32 i = 0; i < buffers; ++i) {
    size_t offset = AUDIO_BUFFER_LIST_SIZE(i);
    if (offset + sizeof(AudioBuffer) > available) break;
    AudioBuffer buffer;
    std::memcpy(&buffer, bytes.data() + offset, sizeof buffer);
    total += buffer.mNumberChannels;
  }
  return total;
}

std::optional<std::vector<std::string>> channelNames(AudioPropertyAccess& access, AudioObjectID device,
                                                     AudioObjectPropertyScope scope, std::int64_t count) {
  if (count < 1) return std::nullopt;
  std::vector<std::string> names(static_cast<size_t>(count));
  bool distinct = false;
  for (std::int64_t channel = 1; channel <= count; ++channel) {
    auto where = address(kAudioObjectPropertyElementName, scope, static_cast<UInt32>(channel));
    if (!access.hasProperty(device, where)) continue;
    auto name = stringProperty(access, device, where);
    if (!name) continue;
    std::string trimmed = Text::trimmingWhitespaceAndNewlines(*name);
    std::string number = std::to_string(channel);
    // Names that merely number the channel say nothing.
    if (trimmed.empty() || trimmed == number || trimmed == "Channel " + number) continue;
    names[static_cast<size_t>(channel - 1)] = trimmed;
    distinct = true;
  }
  if (!distinct) return std::nullopt;
  return names;
}

void sortDevices(std::vector<AudioDeviceInfo>& devices) {
  std::stable_sort(devices.begin(), devices.end(), [](const AudioDeviceInfo& a, const AudioDeviceInfo& b) {
    if (a.isDefault != b.isDefault) return a.isDefault;
    return Text::localizedStandardCompare(a.name, b.name) < 0;
  });
}

std::string lowercased(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Our own programs are audio clients too, but never something to offer as an application.
bool isOwnBackgroundProgram(const std::optional<std::string>& bundleIdentifier) {
  return bundleIdentifier && bundleIdentifier->starts_with("tidewell-");
}

}  // namespace

AudioPropertyAccess& systemAccess() {
  static SystemAccess access;
  return access;
}

AudioDeviceInventory deviceInventory(AudioPropertyAccess& access) {
  auto defaultInput = plainProperty<AudioObjectID>(access, kAudioObjectSystemObject,
                                                   address(kAudioHardwarePropertyDefaultInputDevice));
  auto defaultOutput = plainProperty<AudioObjectID>(
      access, kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice));
  AudioDeviceInventory inventory;
  for (AudioObjectID device : objectList(access, kAudioHardwarePropertyDevices)) {
    auto uid = stringProperty(access, device, address(kAudioDevicePropertyDeviceUID));
    if (!uid) continue;
    auto name = stringProperty(access, device, address(kAudioObjectPropertyName));
    if (!name) continue;
    struct Direction {
      AudioObjectPropertyScope scope;
      std::optional<AudioObjectID> defaultDevice;
      std::vector<AudioDeviceInfo>* list;
    };
    for (const Direction& direction :
         {Direction{kAudioObjectPropertyScopeInput, defaultInput, &inventory.inputs},
          Direction{kAudioObjectPropertyScopeOutput, defaultOutput, &inventory.outputs}}) {
      std::int64_t count = channelCount(access, device, direction.scope);
      if (count <= 0) continue;
      AudioDeviceInfo info;
      info.uid = *uid;
      info.name = *name;
      info.channelCount = count;
      info.isDefault = direction.defaultDevice && *direction.defaultDevice != 0 &&
                       *direction.defaultDevice == device;
      info.channelNames = channelNames(access, device, direction.scope, count);
      direction.list->push_back(std::move(info));
    }
  }
  sortDevices(inventory.inputs);
  sortDevices(inventory.outputs);
  return inventory;
}

std::vector<RunningApplication> runningApplications(AudioPropertyAccess& access) {
  std::vector<RunningApplication> applications;
  for (AudioObjectID process : objectList(access, kAudioHardwarePropertyProcessObjectList)) {
    auto pid = plainProperty<std::int32_t>(access, process, address(kAudioProcessPropertyPID));
    if (!pid || *pid < 1 || !access.processIsAlive(*pid)) continue;
    RunningApplication application;
    application.pid = *pid;
    application.bundleIdentifier =
        stringProperty(access, process, address(kAudioProcessPropertyBundleID));
    application.isRegular = !isOwnBackgroundProgram(application.bundleIdentifier);
    applications.push_back(std::move(application));
  }
  return applications;
}

std::vector<ApplicationSourceCandidate> applicationSourceCandidates(AudioPropertyAccess& access) {
  auto running = runningApplications(access);
  auto lookUp = [&running](std::int32_t pid) -> const RunningApplication* {
    for (const auto& application : running) {
      if (application.pid == pid) return &application;
    }
    return nullptr;
  };
  std::vector<ApplicationSourceCandidate> candidates;
  for (AudioObjectID process : objectList(access, kAudioHardwarePropertyProcessObjectList)) {
    auto pid = plainProperty<std::int32_t>(access, process, address(kAudioProcessPropertyPID));
    if (!pid || *pid < 1) continue;
    auto bundle = stringProperty(access, process, address(kAudioProcessPropertyBundleID));
    const RunningApplication* application = lookUp(*pid);
    std::string displayName;
    if (application && !application->localizedName.empty()) {
      displayName = application->localizedName;
    } else if (bundle && !bundle->empty()) {
      displayName = *bundle;
    } else {
      displayName = "PID " + std::to_string(*pid);
    }
    if (CoreAudioDeviceRegistry::isSuppressedApplicationSourceName(displayName)) continue;
    if (CoreAudioDeviceRegistry::isSuppressedApplicationSourceBundleID(bundle)) continue;
    if (!application || !application->isRegular) continue;
    candidates.push_back(ApplicationSourceCandidate{displayName, bundle, *pid,
                                                    static_cast<std::uint64_t>(process)});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const ApplicationSourceCandidate& a, const ApplicationSourceCandidate& b) {
                     return Text::localizedStandardCompare(a.displayName, b.displayName) < 0;
                   });
  return candidates;
}

std::vector<std::string> allDeviceUIDs(AudioPropertyAccess& access) {
  std::vector<std::string> uids;
  for (AudioObjectID device : objectList(access, kAudioHardwarePropertyDevices)) {
    if (auto uid = stringProperty(access, device, address(kAudioDevicePropertyDeviceUID))) {
      uids.push_back(*uid);
    }
  }
  return uids;
}

namespace {

// The plug-in object of the product's plug-in; 0 when it is not loaded or no server answers.
AudioObjectID halPlugInObject(AudioPropertyAccess& access) {
  CFStringRef bundle = CFStringCreateWithCString(
      nullptr, std::string(TidewellCore::halBundleID).c_str(), kCFStringEncodingUTF8);
  if (!bundle) return 0;
  AudioObjectID plugIn = 0;
  UInt32 size = sizeof(plugIn);
  OSStatus status = access.getPropertyData(
      kAudioObjectSystemObject, address(kAudioHardwarePropertyTranslateBundleIDToPlugIn),
      sizeof(bundle), &bundle, &size, &plugIn);
  CFRelease(bundle);
  return status == 0 ? plugIn : 0;
}

std::optional<std::string> loadedInfoValue(AudioPropertyAccess& access, AudioObjectID plugIn, const char* key) {
  CFStringRef qualifier = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
  if (!qualifier) return std::nullopt;
  CFStringRef value = nullptr;
  UInt32 size = sizeof(value);
  OSStatus status = access.getPropertyData(plugIn, address(kAudioPlugInPropertyLoadedBundleInfoValue),
                                           sizeof(qualifier), &qualifier, &size, &value);
  CFRelease(qualifier);
  std::unique_ptr<const void, ReleasedString> owned(value);
  if (status != 0) return std::nullopt;
  return toText(value);
}

}  // namespace

bool halPlugInIsLoaded(AudioPropertyAccess& access) { return halPlugInObject(access) != 0; }

std::optional<std::uint64_t> audioServerInstance(AudioPropertyAccess& access) {
  std::uint64_t instance = 0;
  UInt32 size = sizeof(instance);
  if (access.getPropertyData(kAudioObjectSystemObject, address(kAudioHardwarePropertyServerInstance), 0, nullptr,
                             &size, &instance) != 0 ||
      size != sizeof(instance)) {
    return std::nullopt;
  }
  return instance;
}

std::optional<std::string> audioServerPlugInSearchPath(AudioPropertyAccess& access) {
  auto path = stringProperty(access, kAudioObjectSystemObject, address(kAudioHardwarePropertyPlugInSearchPath));
  if (!path || path->empty()) return std::nullopt;
  return path;
}

std::optional<LoadedHALPlugIn> loadedHALPlugIn(AudioPropertyAccess& access) {
  // The instance is read first: a server that restarts in between then shows an instance
  // that did not load what was read (the next look sees the newer one).
  auto instance = audioServerInstance(access);
  if (!instance) return std::nullopt;
  AudioObjectID plugIn = halPlugInObject(access);
  if (plugIn == 0) return std::nullopt;
  LoadedHALPlugIn loaded;
  loaded.serverInstance = *instance;
  loaded.shortVersion = loadedInfoValue(access, plugIn, "CFBundleShortVersionString");
  loaded.bundleVersion = loadedInfoValue(access, plugIn, "CFBundleVersion");
  loaded.contentHash = loadedInfoValue(access, plugIn, "TWDriverContentHash");
  return loaded;
}

std::vector<HALDeviceSummary> tidewellDeviceSummaries(AudioPropertyAccess& access) {
  std::vector<HALDeviceSummary> summaries;
  for (AudioObjectID device : objectList(access, kAudioHardwarePropertyDevices)) {
    auto uid = stringProperty(access, device, address(kAudioDevicePropertyDeviceUID));
    if (!uid || !CoreAudioDeviceRegistry::isTidewellDeviceUID(*uid)) continue;
    auto name = stringProperty(access, device, address(kAudioObjectPropertyName));
    if (!name) continue;
    summaries.push_back(HALDeviceSummary{*uid, *name,
                                         channelCount(access, device, kAudioObjectPropertyScopeInput),
                                         channelCount(access, device, kAudioObjectPropertyScopeOutput)});
  }
  std::stable_sort(summaries.begin(), summaries.end(),
                   [](const HALDeviceSummary& a, const HALDeviceSummary& b) { return a.uid < b.uid; });
  return summaries;
}

}  // namespace registry_detail

namespace CoreAudioDeviceRegistry {

AudioDeviceInventory deviceInventory() {
  return registry_detail::deviceInventory(registry_detail::systemAccess());
}

std::vector<ApplicationSourceCandidate> applicationSourceCandidates() {
  return registry_detail::applicationSourceCandidates(registry_detail::systemAccess());
}

bool isTidewellDeviceUID(std::string_view uid) {
  return uid == TidewellCore::passThruDeviceUID || uid.starts_with(TidewellCore::deviceUIDPrefix) ||
         uid.starts_with(legacyDeviceUIDPrefix);
}

std::vector<std::string> allDeviceUIDs() {
  return registry_detail::allDeviceUIDs(registry_detail::systemAccess());
}

bool containsDevice(std::string_view uid) {
  auto uids = allDeviceUIDs();
  return std::find(uids.begin(), uids.end(), uid) != uids.end();
}

bool passThruDeviceIsLoaded() { return containsDevice(TidewellCore::passThruDeviceUID); }

bool halPlugInIsLoaded() { return registry_detail::halPlugInIsLoaded(registry_detail::systemAccess()); }

std::optional<LoadedHALPlugIn> loadedHALPlugIn() {
  return registry_detail::loadedHALPlugIn(registry_detail::systemAccess());
}

std::optional<std::uint64_t> audioServerInstance() {
  return registry_detail::audioServerInstance(registry_detail::systemAccess());
}

std::optional<std::string> audioServerPlugInSearchPath() {
  return registry_detail::audioServerPlugInSearchPath(registry_detail::systemAccess());
}

std::vector<HALDeviceSummary> tidewellDeviceSummaries() {
  return registry_detail::tidewellDeviceSummaries(registry_detail::systemAccess());
}

bool isSuppressedApplicationSourceName(std::string_view name) {
  static constexpr std::array<std::string_view, 11> fragments = {
      " helper", " helper ", " helper(", ".helper", "serviceextension", " extension",
      ".appex", " daemon", ".daemon", " agent", ".agent"};
  std::string lower = registry_detail::lowercased(name);
  if (lower.starts_with("pid ")) return true;
  return std::any_of(fragments.begin(), fragments.end(),
                     [&lower](std::string_view fragment) { return lower.find(fragment) != std::string::npos; });
}

bool isSuppressedApplicationSourceBundleID(const std::optional<std::string>& bundleID) {
  static constexpr std::array<std::string_view, 5> fragments = {
      ".helper", ".serviceextension", ".appex", ".daemon", ".agent"};
  if (!bundleID || bundleID->empty()) return true;
  std::string lower = registry_detail::lowercased(*bundleID);
  return std::any_of(fragments.begin(), fragments.end(),
                     [&lower](std::string_view fragment) { return lower.find(fragment) != std::string::npos; });
}

}  // namespace CoreAudioDeviceRegistry

namespace RunningApplications {

std::optional<RunningApplication> application(std::int32_t pid) {
  for (auto& running : registry_detail::runningApplications(registry_detail::systemAccess())) {
    if (running.pid == pid) return running;
  }
  return std::nullopt;
}

std::vector<std::int32_t> pids(const std::string& bundleIdentifier) {
  std::vector<std::int32_t> result;
  for (const auto& running : registry_detail::runningApplications(registry_detail::systemAccess())) {
    if (running.bundleIdentifier && *running.bundleIdentifier == bundleIdentifier) {
      result.push_back(running.pid);
    }
  }
  return result;
}

}  // namespace RunningApplications

}  // namespace tidewell
