#include "TidewellCore/ConfigJSON.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "TidewellCore/ConfigValidator.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell {

using nlohmann::json;

namespace {

const char* kindName(DecodingError::Kind kind) {
  switch (kind) {
    case DecodingError::Kind::keyNotFound: return "key not found";
    case DecodingError::Kind::valueNotFound: return "value not found";
    case DecodingError::Kind::typeMismatch: return "type mismatch";
    case DecodingError::Kind::dataCorrupted: return "data corrupted";
  }
  return "decoding error";
}

// A coding path kept on the stack while walking the tree; rendered only when an error needs it.
struct Path {
  const Path* parent = nullptr;
  const char* key = nullptr;  // member name, or nullptr for a list index
  std::size_t index = 0;

  Path member(const char* k) const { return Path{this, k, 0}; }
  Path element(std::size_t i) const { return Path{this, nullptr, i}; }

  std::string render() const {
    std::vector<const Path*> chain;
    for (const Path* p = this; p != nullptr; p = p->parent) chain.push_back(p);
    std::string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      const Path* p = *it;
      if (p->parent == nullptr) continue;  // the root
      if (p->key != nullptr) {
        if (!out.empty()) out += '.';
        out += p->key;
      } else {
        out += '[' + std::to_string(p->index) + ']';
      }
    }
    return out;
  }
};

[[noreturn]] void fail(DecodingError::Kind kind, const Path& path, std::string detail) {
  throw DecodingError(kind, path.render(), std::move(detail));
}

[[noreturn]] void failEncode(const Path& path, std::string detail) {
  throw EncodingError(EncodingError::Kind::invalidValue, path.render(), std::move(detail));
}

// ---- reading -----------------------------------------------------------------------------

const char* typeName(const json& v) {
  return v.type_name();
}

const json& requireObject(const json& v, const Path& path) {
  if (v.is_null()) fail(DecodingError::Kind::valueNotFound, path, "expected an object, found null");
  if (!v.is_object())
    fail(DecodingError::Kind::typeMismatch, path,
         std::string("expected an object, found ") + typeName(v));
  return v;
}

// The member, or nullptr when it is missing or null.
const json* optionalMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const json& requiredMember(const json& object, const char* key, const Path& path) {
  auto it = object.find(key);
  if (it == object.end())
    fail(DecodingError::Kind::keyNotFound, path.member(key),
         std::string("no value associated with key \"") + key + "\"");
  if (it->is_null())
    fail(DecodingError::Kind::valueNotFound, path.member(key), "expected a value, found null");
  return *it;
}

std::string readString(const json& v, const Path& path) {
  if (!v.is_string())
    fail(DecodingError::Kind::typeMismatch, path,
         std::string("expected a string, found ") + typeName(v));
  return v.get_ref<const std::string&>();
}

bool readBool(const json& v, const Path& path) {
  if (!v.is_boolean())
    fail(DecodingError::Kind::typeMismatch, path,
         std::string("expected a boolean, found ") + typeName(v));
  return v.get<bool>();
}

double readDouble(const json& v, const Path& path) {
  if (!v.is_number())
    fail(DecodingError::Kind::typeMismatch, path,
         std::string("expected a number, found ") + typeName(v));
  return v.get<double>();
}

// An integral number within [lo, hi]. Integers are taken exactly (never through a double);
// a number written with a fraction or exponent counts when its value is integral.
template <class T>
T readInteger(const json& v, const Path& path) {
  if (!v.is_number())
    fail(DecodingError::Kind::typeMismatch, path,
         std::string("expected a number, found ") + typeName(v));
  constexpr auto lo = std::numeric_limits<T>::min();
  constexpr auto hi = std::numeric_limits<T>::max();
  auto doesNotFit = [&](const std::string& text) -> T {
    fail(DecodingError::Kind::dataCorrupted, path,
         "parsed JSON number <" + text + "> does not fit");
  };
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(hi)) return doesNotFit(std::to_string(u));
    return static_cast<T>(u);
  }
  if (v.is_number_integer()) {
    auto i = v.get<std::int64_t>();
    if constexpr (std::is_signed_v<T>) {
      if (i < static_cast<std::int64_t>(lo) || i > static_cast<std::int64_t>(hi))
        return doesNotFit(std::to_string(i));
    } else {
      if (i < 0) return doesNotFit(std::to_string(i));
    }
    return static_cast<T>(i);
  }
  double d = v.get<double>();
  // 2^63 and 2^64 are exact doubles; the half-open bounds keep the casts defined.
  constexpr double upper = std::is_signed_v<T> && sizeof(T) == 8 ? 9223372036854775808.0
                           : !std::is_signed_v<T> && sizeof(T) == 8
                               ? 18446744073709551616.0
                               : static_cast<double>(hi) + 1.0;
  constexpr double lower = static_cast<double>(lo);
  if (!std::isfinite(d) || std::trunc(d) != d || d < lower || d >= upper)
    return doesNotFit(v.dump());
  return static_cast<T>(d);
}

const json& readArray(const json& v, const Path& path) {
  if (!v.is_array())
    fail(DecodingError::Kind::typeMismatch, path,
         std::string("expected an array, found ") + typeName(v));
  return v;
}

template <class E>
E readEnum(const json& v, const Path& path, std::optional<E> (*parse)(std::string_view),
           const char* typeLabel) {
  std::string raw = readString(v, path);
  auto value = parse(raw);
  if (!value)
    fail(DecodingError::Kind::dataCorrupted, path,
         std::string("cannot initialize ") + typeLabel + " from invalid string value " + raw);
  return *value;
}

std::optional<std::string> optionalString(const json& o, const char* key, const Path& path) {
  if (const json* v = optionalMember(o, key)) return readString(*v, path.member(key));
  return std::nullopt;
}

std::optional<std::vector<double>> optionalGains(const json& o, const char* key,
                                                 const Path& path) {
  const json* v = optionalMember(o, key);
  if (!v) return std::nullopt;
  Path p = path.member(key);
  const json& a = readArray(*v, p);
  std::vector<double> gains;
  gains.reserve(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    Path e = p.element(i);
    if (a[i].is_null()) fail(DecodingError::Kind::valueNotFound, e, "expected a number, found null");
    gains.push_back(readDouble(a[i], e));
  }
  return gains;
}

template <class T>
T decodeValue(const json& v, const Path& path);

// A required member, read by `read` with the member's own path for its errors.
template <class Read>
auto requiredValue(const json& object, const char* key, const Path& path, Read read) {
  return read(requiredMember(object, key, path), path.member(key));
}

template <class T>
std::vector<T> decodeList(const json& object, const char* key, const Path& path) {
  Path p = path.member(key);
  const json& a = readArray(requiredMember(object, key, path), p);
  std::vector<T> out;
  out.reserve(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    Path e = p.element(i);
    if (a[i].is_null()) fail(DecodingError::Kind::valueNotFound, e, "expected a value, found null");
    out.push_back(decodeValue<T>(a[i], e));
  }
  return out;
}

template <>
Appearance decodeValue<Appearance>(const json& v, const Path& path) {
  return readEnum<Appearance>(v, path, appearanceFromRawValue, "Appearance");
}
template <>
SourceType decodeValue<SourceType>(const json& v, const Path& path) {
  return readEnum<SourceType>(v, path, sourceTypeFromRawValue, "SourceType");
}
template <>
EndpointKind decodeValue<EndpointKind>(const json& v, const Path& path) {
  return readEnum<EndpointKind>(v, path, endpointKindFromRawValue, "EndpointKind");
}

template <>
UIState decodeValue<UIState>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  UIState ui;
  ui.selectedDeviceID = optionalString(o, "selectedDeviceID", path);
  ui.appearance = requiredValue(o, "appearance", path, decodeValue<Appearance>);
  return ui;
}

template <>
SourceMetadata decodeValue<SourceMetadata>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  SourceMetadata m;
  m.bundleIdentifier = optionalString(o, "bundleIdentifier", path);
  if (const json* pid = optionalMember(o, "pid"))
    m.pid = readInteger<std::int32_t>(*pid, path.member("pid"));
  if (const json* object = optionalMember(o, "processObjectID"))
    m.processObjectID = readInteger<std::uint64_t>(*object, path.member("processObjectID"));
  m.tapUUID = optionalString(o, "tapUUID", path);
  m.deviceUID = optionalString(o, "deviceUID", path);
  m.inputBackend = optionalString(o, "inputBackend", path);
  m.sourceDeviceID = optionalString(o, "sourceDeviceID", path);
  return m;
}

template <>
SourceConfig decodeValue<SourceConfig>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  SourceConfig s;
  s.id = requiredValue(o, "id", path, readString);
  s.type = requiredValue(o, "type", path, decodeValue<SourceType>);
  s.name = requiredValue(o, "name", path, readString);
  s.enabled = requiredValue(o, "enabled", path, readBool);
  s.muted = requiredValue(o, "muted", path, readBool);
  s.gain = requiredValue(o, "gain", path, readDouble);
  s.channelGains = optionalGains(o, "channelGains", path);
  s.channelCount = requiredValue(o, "channelCount", path, readInteger<std::int64_t>);
  if (const json* mute = optionalMember(o, "muteWhenCapturing"))
    s.muteWhenCapturing = readBool(*mute, path.member("muteWhenCapturing"));
  s.metadata = requiredValue(o, "metadata", path, decodeValue<SourceMetadata>);
  return s;
}

template <>
MonitorConfig decodeValue<MonitorConfig>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  MonitorConfig m;
  m.id = requiredValue(o, "id", path, readString);
  m.name = requiredValue(o, "name", path, readString);
  m.enabled = requiredValue(o, "enabled", path, readBool);
  m.muted = requiredValue(o, "muted", path, readBool);
  m.gain = requiredValue(o, "gain", path, readDouble);
  m.channelGains = optionalGains(o, "channelGains", path);
  m.deviceUID = requiredValue(o, "deviceUID", path, readString);
  m.channelCount = requiredValue(o, "channelCount", path, readInteger<std::int64_t>);
  return m;
}

template <>
WireEndpoint decodeValue<WireEndpoint>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  WireEndpoint e;
  e.kind = requiredValue(o, "kind", path, decodeValue<EndpointKind>);
  e.ownerID = requiredValue(o, "ownerID", path, readString);
  e.channel = requiredValue(o, "channel", path, readInteger<std::int64_t>);
  return e;
}

template <>
Wire decodeValue<Wire>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  Wire w;
  w.id = requiredValue(o, "id", path, readString);
  w.from = requiredValue(o, "from", path, decodeValue<WireEndpoint>);
  w.to = requiredValue(o, "to", path, decodeValue<WireEndpoint>);
  return w;
}

template <>
DeviceConfig decodeValue<DeviceConfig>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  DeviceConfig d;
  d.id = requiredValue(o, "id", path, readString);
  d.name = requiredValue(o, "name", path, readString);
  d.enabled = requiredValue(o, "enabled", path, readBool);
  d.sampleRate = requiredValue(o, "sampleRate", path, readDouble);
  d.channelCount = requiredValue(o, "channelCount", path, readInteger<std::int64_t>);
  const json* volume = optionalMember(o, "volume");
  d.volume = volume ? readDouble(*volume, path.member("volume")) : 1.0;
  d.channelGains = optionalGains(o, "channelGains", path);
  if (const json* uid = optionalMember(o, "uid"))
    d.uid = readString(*uid, path.member("uid"));
  else
    d.uid = TidewellCore::derivedDeviceUID(d.id);
  if (const json* icon = optionalMember(o, "icon"))
    d.icon = readString(*icon, path.member("icon"));
  else
    d.icon = std::string(TidewellCore::defaultDeviceIcon);
  d.sources = decodeList<SourceConfig>(o, "sources", path);
  d.monitors = decodeList<MonitorConfig>(o, "monitors", path);
  d.wires = decodeList<Wire>(o, "wires", path);
  return d;
}

template <>
ConfigSnapshot decodeValue<ConfigSnapshot>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  ConfigSnapshot s;
  s.schemaVersion = requiredValue(o, "schemaVersion", path, readInteger<std::int64_t>);
  s.devices = decodeList<DeviceConfig>(o, "devices", path);
  s.ui = requiredValue(o, "ui", path, decodeValue<UIState>);
  return s;
}

template <>
ValidationIssue decodeValue<ValidationIssue>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  ValidationIssue i;
  i.code = requiredValue(o, "code", path, readString);
  i.message = requiredValue(o, "message", path, readString);
  i.path = requiredValue(o, "path", path, readString);
  return i;
}

template <>
ValidationResult decodeValue<ValidationResult>(const json& v, const Path& path) {
  const json& o = requireObject(v, path);
  ValidationResult r;
  r.errors = decodeList<ValidationIssue>(o, "errors", path);
  r.warnings = decodeList<ValidationIssue>(o, "warnings", path);
  return r;
}

// ---- writing -----------------------------------------------------------------------------

json number(double value, const Path& path) {
  if (!std::isfinite(value)) failEncode(path, "unable to encode " + std::to_string(value) +
                                                  " directly in JSON");
  return json(value);
}

json gains(const std::vector<double>& list, const Path& path) {
  json a = json::array();
  for (std::size_t i = 0; i < list.size(); ++i) a.push_back(number(list[i], path.element(i)));
  return a;
}

json encodeValue(const UIState& ui, const Path&) {
  json o = json::object();
  if (ui.selectedDeviceID) o["selectedDeviceID"] = *ui.selectedDeviceID;
  o["appearance"] = std::string(rawValue(ui.appearance));
  return o;
}

json encodeValue(const SourceMetadata& m, const Path&) {
  json o = json::object();
  if (m.bundleIdentifier) o["bundleIdentifier"] = *m.bundleIdentifier;
  if (m.pid) o["pid"] = *m.pid;
  if (m.processObjectID) o["processObjectID"] = *m.processObjectID;
  if (m.tapUUID) o["tapUUID"] = *m.tapUUID;
  if (m.deviceUID) o["deviceUID"] = *m.deviceUID;
  if (m.inputBackend) o["inputBackend"] = *m.inputBackend;
  if (m.sourceDeviceID) o["sourceDeviceID"] = *m.sourceDeviceID;
  return o;
}

json encodeValue(const SourceConfig& s, const Path& path) {
  json o = json::object();
  o["id"] = s.id;
  o["type"] = std::string(rawValue(s.type));
  o["name"] = s.name;
  o["enabled"] = s.enabled;
  o["muted"] = s.muted;
  o["gain"] = number(s.gain, path.member("gain"));
  if (s.channelGains) o["channelGains"] = gains(*s.channelGains, path.member("channelGains"));
  o["channelCount"] = s.channelCount;
  o["muteWhenCapturing"] = s.muteWhenCapturing;
  o["metadata"] = encodeValue(s.metadata, path.member("metadata"));
  return o;
}

json encodeValue(const MonitorConfig& m, const Path& path) {
  json o = json::object();
  o["id"] = m.id;
  o["name"] = m.name;
  o["enabled"] = m.enabled;
  o["muted"] = m.muted;
  o["gain"] = number(m.gain, path.member("gain"));
  if (m.channelGains) o["channelGains"] = gains(*m.channelGains, path.member("channelGains"));
  o["deviceUID"] = m.deviceUID;
  o["channelCount"] = m.channelCount;
  return o;
}

json encodeValue(const WireEndpoint& e, const Path&) {
  json o = json::object();
  o["kind"] = std::string(rawValue(e.kind));
  o["ownerID"] = e.ownerID;
  o["channel"] = e.channel;
  return o;
}

json encodeValue(const Wire& w, const Path& path) {
  json o = json::object();
  o["id"] = w.id;
  o["from"] = encodeValue(w.from, path.member("from"));
  o["to"] = encodeValue(w.to, path.member("to"));
  return o;
}

template <class T>
json encodeList(const std::vector<T>& list, const Path& path) {
  json a = json::array();
  for (std::size_t i = 0; i < list.size(); ++i) a.push_back(encodeValue(list[i], path.element(i)));
  return a;
}

json encodeValue(const DeviceConfig& d, const Path& path) {
  json o = json::object();
  o["id"] = d.id;
  o["name"] = d.name;
  o["enabled"] = d.enabled;
  o["sampleRate"] = number(d.sampleRate, path.member("sampleRate"));
  o["channelCount"] = d.channelCount;
  o["volume"] = number(d.volume, path.member("volume"));
  if (d.channelGains) o["channelGains"] = gains(*d.channelGains, path.member("channelGains"));
  o["uid"] = d.uid;
  o["icon"] = d.icon;
  o["sources"] = encodeList(d.sources, path.member("sources"));
  o["monitors"] = encodeList(d.monitors, path.member("monitors"));
  o["wires"] = encodeList(d.wires, path.member("wires"));
  return o;
}

json encodeValue(const ConfigSnapshot& s, const Path& path) {
  json o = json::object();
  o["schemaVersion"] = s.schemaVersion;
  o["devices"] = encodeList(s.devices, path.member("devices"));
  o["ui"] = encodeValue(s.ui, path.member("ui"));
  return o;
}

json encodeValue(const ValidationIssue& i, const Path&) {
  return json{{"code", i.code}, {"message", i.message}, {"path", i.path}};
}

json encodeValue(const ValidationResult& r, const Path& path) {
  json o = json::object();
  o["errors"] = encodeList(r.errors, path.member("errors"));
  o["warnings"] = encodeList(r.warnings, path.member("warnings"));
  return o;
}

template <class T>
std::string encodeText(const T& value) {
  Path root;
  json tree = encodeValue(value, root);
  // nlohmann's objects are ordered maps, so keys come out sorted by their bytes; its writer
  // leaves "/" alone and writes non-ASCII text as UTF-8. Invalid UTF-8 is refused.
  try {
    return tree.dump(2, ' ', false, json::error_handler_t::strict);
  } catch (const json::type_error& e) {
    failEncode(root, e.what());
  }
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string detail)
    : kind_(kind), codingPath_(std::move(codingPath)), detail_(std::move(detail)) {
  message_ = std::string("The data couldn't be read (") + kindName(kind_) + " at " +
             (codingPath_.empty() ? std::string("the top level") : "\"" + codingPath_ + "\"") +
             "): " + detail_ + ".";
}

EncodingError::EncodingError(Kind kind, std::string codingPath, std::string detail)
    : kind_(kind), codingPath_(std::move(codingPath)) {
  message_ = "The data couldn't be written (invalid value at " +
             (codingPath_.empty() ? std::string("the top level") : "\"" + codingPath_ + "\"") +
             "): " + detail + ".";
}

std::string JSONEncoder::encode(const ConfigSnapshot& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const UIState& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const DeviceConfig& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const SourceConfig& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const SourceMetadata& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const MonitorConfig& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const Wire& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const WireEndpoint& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const ValidationResult& v) const { return encodeText(v); }
std::string JSONEncoder::encode(const ValidationIssue& v) const { return encodeText(v); }

template <class T>
T JSONDecoder::decode(std::string_view bytes) const {
  Path root;
  json tree;
  try {
    // No comments, no trailing garbage; nlohmann checks UTF-8 and refuses numbers beyond the
    // range of a double instead of turning them into infinities.
    tree = json::parse(bytes.begin(), bytes.end(), nullptr, true, false);
  } catch (const json::exception& e) {
    fail(DecodingError::Kind::dataCorrupted, root,
         std::string("the given data was not valid JSON: ") + e.what());
  }
  if (tree.is_null()) fail(DecodingError::Kind::valueNotFound, root, "expected a value, found null");
  return decodeValue<T>(tree, root);
}

template ConfigSnapshot JSONDecoder::decode<ConfigSnapshot>(std::string_view) const;
template UIState JSONDecoder::decode<UIState>(std::string_view) const;
template Appearance JSONDecoder::decode<Appearance>(std::string_view) const;
template DeviceConfig JSONDecoder::decode<DeviceConfig>(std::string_view) const;
template SourceConfig JSONDecoder::decode<SourceConfig>(std::string_view) const;
template SourceType JSONDecoder::decode<SourceType>(std::string_view) const;
template SourceMetadata JSONDecoder::decode<SourceMetadata>(std::string_view) const;
template MonitorConfig JSONDecoder::decode<MonitorConfig>(std::string_view) const;
template Wire JSONDecoder::decode<Wire>(std::string_view) const;
template WireEndpoint JSONDecoder::decode<WireEndpoint>(std::string_view) const;
template EndpointKind JSONDecoder::decode<EndpointKind>(std::string_view) const;
template ValidationResult JSONDecoder::decode<ValidationResult>(std::string_view) const;
template ValidationIssue JSONDecoder::decode<ValidationIssue>(std::string_view) const;

}  // namespace tidewell
