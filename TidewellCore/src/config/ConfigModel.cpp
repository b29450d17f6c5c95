#include "TidewellCore/ConfigModel.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "TidewellCore/TidewellConstants.h"

namespace tidewell {
namespace {

void fillRandom(unsigned char* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = getrandom(bytes + done, count - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (done < count) {
    // getrandom is always there on supported kernels; this only keeps ids unique if it is not.
    std::random_device device;
    for (; done < count; ++done) bytes[done] = static_cast<unsigned char>(device());
  }
}

}  // namespace

std::string makeUUIDString() {
  unsigned char b[16];
  fillRandom(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return std::string(text, 36);
}

IdFactory uuidIdFactory() { return [] { return makeUUIDString(); }; }

std::string_view rawValue(Appearance value) {
  switch (value) {
    case Appearance::system: return "system";
    case Appearance::light: return "light";
    case Appearance::dark: return "dark";
  }
  return "system";
}

std::string_view rawValue(SourceType value) {
  switch (value) {
    case SourceType::passThru: return "passThru";
    case SourceType::application: return "application";
    case SourceType::system: return "system";
    case SourceType::hardwareInput: return "hardwareInput";
    case SourceType::virtualDevice: return "virtualDevice";
  }
  return "passThru";
}

std::string_view rawValue(EndpointKind value) {
  switch (value) {
    case EndpointKind::source: return "source";
    case EndpointKind::deviceOutput: return "deviceOutput";
    case EndpointKind::monitor: return "monitor";
  }
  return "source";
}

template <class E, std::size_t N>
static std::optional<E> fromRaw(const std::array<E, N>& all, std::string_view raw) {
  for (E e : all)
    if (rawValue(e) == raw) return e;
  return std::nullopt;
}

std::optional<Appearance> appearanceFromRawValue(std::string_view raw) {
  return fromRaw(allAppearances, raw);
}
std::optional<SourceType> sourceTypeFromRawValue(std::string_view raw) {
  return fromRaw(allSourceTypes, raw);
}
std::optional<EndpointKind> endpointKindFromRawValue(std::string_view raw) {
  return fromRaw(allEndpointKinds, raw);
}

DeviceConfig::DeviceConfig(std::string id_, std::string name_, bool enabled_, double sampleRate_,
                           std::int64_t channelCount_, double volume_,
                           std::optional<std::vector<double>> channelGains_,
                           std::optional<std::string> uid_, std::string icon_,
                           std::vector<SourceConfig> sources_,
                           std::vector<MonitorConfig> monitors_, std::vector<Wire> wires_)
    : id(std::move(id_)),
      name(std::move(name_)),
      enabled(enabled_),
      sampleRate(sampleRate_),
      channelCount(channelCount_),
      volume(volume_),
      channelGains(std::move(channelGains_)),
      uid(uid_ ? std::move(*uid_) : TidewellCore::derivedDeviceUID(id)),
      icon(std::move(icon_)),
      sources(std::move(sources_)),
      monitors(std::move(monitors_)),
      wires(std::move(wires_)) {}

DeviceConfig DeviceConfig::makeDefault(std::string name, double sampleRate,
                                       const IdFactory& idFactory) {
  std::string deviceID = idFactory();
  std::string sourceID = idFactory();
  std::string wire1ID = idFactory();
  std::string wire2ID = idFactory();

  SourceConfig source;
  source.id = sourceID;
  source.type = SourceType::passThru;
  source.name = "Pass-Thru";
  source.enabled = true;
  source.muted = false;
  source.gain = 1.0;
  source.channelCount = 2;
  source.muteWhenCapturing = false;

  std::vector<Wire> wires;
  wires.push_back(Wire{wire1ID, {EndpointKind::source, sourceID, 1},
                       {EndpointKind::deviceOutput, deviceID, 1}});
  wires.push_back(Wire{wire2ID, {EndpointKind::source, sourceID, 2},
                       {EndpointKind::deviceOutput, deviceID, 2}});

  return DeviceConfig(deviceID, std::move(name), true, sampleRate, 2, 1.0, std::nullopt,
                      std::nullopt, std::string(TidewellCore::defaultDeviceIcon), {source}, {},
                      std::move(wires));
}

ConfigSnapshot ConfigSnapshot::empty() {
  ConfigSnapshot snapshot;
  snapshot.schemaVersion = TidewellCore::schemaVersion;
  snapshot.ui = UIState{std::nullopt, Appearance::system};
  return snapshot;
}

}  // namespace tidewell
