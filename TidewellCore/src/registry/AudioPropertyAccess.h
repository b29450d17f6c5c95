#pragma once
// The registry's one door to the audio server: the three property calls, and a look at
// whether a process is alive. The registry's logic runs against this interface, so its rules
// can be checked against a scripted server as well as the real one.

#include <AudioABI/AudioABI.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TidewellCore/CoreAudioDeviceRegistry.h"

namespace tidewell::registry_detail {

class AudioPropertyAccess {
 public:
  virtual ~AudioPropertyAccess() = default;
  virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;
  virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       UInt32 qualifierSize, const void* qualifier,
                                       UInt32* dataSize) = 0;
  // String values come back as new references that the caller releases.
  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                   void* data) = 0;
  // The process exists (it may belong to another user).
  virtual bool processIsAlive(std::int32_t pid) = 0;
};

// The client library and the kernel's process table.
AudioPropertyAccess& systemAccess();

AudioDeviceInventory deviceInventory(AudioPropertyAccess& access);
std::vector<ApplicationSourceCandidate> applicationSourceCandidates(AudioPropertyAccess& access);
std::vector<std::string> allDeviceUIDs(AudioPropertyAccess& access);
bool halPlugInIsLoaded(AudioPropertyAccess& access);
std::optional<LoadedHALPlugIn> loadedHALPlugIn(AudioPropertyAccess& access);
std::optional<std::uint64_t> audioServerInstance(AudioPropertyAccess& access);
std::optional<std::string> audioServerPlugInSearchPath(AudioPropertyAccess& access);
std::vector<HALDeviceSummary> tidewellDeviceSummaries(AudioPropertyAccess& access);
std::vector<RunningApplication> runningApplications(AudioPropertyAccess& access);

}  // namespace tidewell::registry_detail
