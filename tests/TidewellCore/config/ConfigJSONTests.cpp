#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "TidewellCore/TidewellCore.h"

namespace tidewell {
namespace {

const char* kWorkedExample = R"({
  "schemaVersion" : 2,
  "devices" : [
    {
      "id" : "d1",
      "name" : "Tidewell",
      "enabled" : true,
      "sampleRate" : 48000,
      "channelCount" : 2,
      "sources" : [
        {
          "id" : "s1",
          "type" : "passThru",
          "name" : "Pass-Thru",
          "enabled" : true,
          "muted" : false,
          "gain" : 1,
          "channelCount" : 2,
          "metadata" : { }
        }
      ],
      "monitors" : [ ],
      "wires" : [
        { "id" : "w1", "from" : { "kind" : "source", "ownerID" : "s1", "channel" : 1 },
          "to" : { "kind" : "deviceOutput", "ownerID" : "d1", "channel" : 1 } }
      ]
    }
  ],
  "ui" : { "appearance" : "system", "selectedDeviceID" : "d1" }
})";

ConfigSnapshot decodeSnapshot(const std::string& text) {
  return JSONDecoder::tidewell().decode<ConfigSnapshot>(text);
}

// The worked example with one edit applied to its parsed tree.
template <class Edit>
std::string editedExample(Edit edit) {
  auto tree = nlohmann::json::parse(kWorkedExample);
  edit(tree);
  return tree.dump();
}

void expectDecodingError(const std::string& text, DecodingError::Kind kind,
                         const std::string& path) {
  try {
    decodeSnapshot(text);
    ADD_FAILURE() << "decoding succeeded, expected an error at " << path;
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.kind(), kind) << e.what();
    EXPECT_EQ(e.codingPath(), path) << e.what();
  }
}

// A document that uses every field, every enumeration case and every optional member.
ConfigSnapshot fullDocument() {
  ConfigSnapshot s = ConfigSnapshot::empty();
  DeviceConfig d("dev/1", "Studio \"Main\" ✓", false, 44100.5, 8, 0.25,
                 std::vector<double>{0.0, 2.0, 1.5}, std::string("custom.uid/x"), "mic", {}, {},
                 {});
  SourceConfig app{"s-app", SourceType::application, "Player", true, true, 0.5,
                   std::vector<double>{0.1, 0.2}, 2, true,
                   SourceMetadata{"com.example.player", -42, std::numeric_limits<std::uint64_t>::max(),
                                  "TAP-UUID", std::nullopt, std::nullopt, std::nullopt}};
  SourceConfig hw{"s-hw", SourceType::hardwareInput, "Mic", true, false, 1.0, std::nullopt, 1,
                  false, SourceMetadata{std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                        "usb:1", "queue", std::nullopt}};
  SourceConfig nested{"s-v", SourceType::virtualDevice, "Nested", false, false, 2.0, std::nullopt,
                      4, false, SourceMetadata{}};
  nested.metadata.sourceDeviceID = "other";
  SourceConfig sys{"s-sys", SourceType::system, "System", true, false, 1.0, std::nullopt, 2, false,
                   SourceMetadata{}};
  d.sources = {app, hw, nested, sys};
  d.monitors = {MonitorConfig{"m1", "Speakers", true, false, 0.75, std::vector<double>{1.0}, "",
                              2}};
  d.wires = {Wire{"w1", {EndpointKind::source, "s-app", 1}, {EndpointKind::deviceOutput, "dev/1", 3}},
             Wire{"w2", {EndpointKind::deviceOutput, "dev/1", 1}, {EndpointKind::monitor, "m1", 2}}};
  s.devices.push_back(d);
  s.devices.push_back(DeviceConfig::makeDefault("Second", 48000.0));
  s.ui = UIState{"dev/1", Appearance::dark};
  return s;
}

TEST(ConfigJSON, WorkedExampleReadsWithDefaultsAndWritesThemBack) {
  ConfigSnapshot s = decodeSnapshot(kWorkedExample);
  ASSERT_EQ(s.devices.size(), 1u);
  const DeviceConfig& d = s.devices[0];
  EXPECT_EQ(d.volume, 1.0);
  EXPECT_FALSE(d.channelGains);
  EXPECT_EQ(d.uid, std::string(TidewellCore::deviceUIDPrefix) + "d1");
  EXPECT_EQ(d.icon, "waveform.circle");
  EXPECT_FALSE(d.sources[0].muteWhenCapturing);
  EXPECT_EQ(d.sources[0].metadata, SourceMetadata{});
  EXPECT_EQ(s.ui.selectedDeviceID, std::optional<std::string>("d1"));

  std::string text = JSONEncoder::tidewell().encode(s);
  auto tree = nlohmann::json::parse(text);
  const auto& device = tree["devices"][0];
  EXPECT_TRUE(device.contains("icon"));
  EXPECT_TRUE(device.contains("uid"));
  EXPECT_TRUE(device.contains("volume"));
  EXPECT_FALSE(device.contains("channelGains"));
  EXPECT_TRUE(device["sources"][0].contains("muteWhenCapturing"));
  EXPECT_EQ(text.find("null"), std::string::npos);
  // Members come out sorted by key: "channelCount" < "enabled" < "icon" < ... < "wires".
  EXPECT_LT(text.find("\"channelCount\""), text.find("\"enabled\""));
  EXPECT_LT(text.find("\"icon\""), text.find("\"id\""));
  EXPECT_LT(text.find("\"uid\""), text.find("\"volume\""));
  EXPECT_LT(text.find("\"devices\""), text.find("\"schemaVersion\""));
  EXPECT_NE(text.find('\n'), std::string::npos) << "pretty-printed";
  EXPECT_EQ(decodeSnapshot(text), s);
}

TEST(ConfigJSON, EveryRecordRoundTrips) {
  ConfigSnapshot s = fullDocument();
  std::string text = JSONEncoder::tidewell().encode(s);
  EXPECT_EQ(decodeSnapshot(text), s);
  EXPECT_EQ(text.find("\\/"), std::string::npos) << "slashes stay unescaped";
  EXPECT_NE(text.find("custom.uid/x"), std::string::npos);
  EXPECT_NE(text.find("✓"), std::string::npos) << "non-ASCII text is written as UTF-8";
  EXPECT_NE(text.find("18446744073709551615"), std::string::npos);

  auto decoder = JSONDecoder::tidewell();
  auto encoder = JSONEncoder::tidewell();
  const DeviceConfig& d = s.devices[0];
  EXPECT_EQ(decoder.decode<DeviceConfig>(encoder.encode(d)), d);
  EXPECT_EQ(decoder.decode<SourceConfig>(encoder.encode(d.sources[0])), d.sources[0]);
  EXPECT_EQ(decoder.decode<SourceMetadata>(encoder.encode(d.sources[1].metadata)),
            d.sources[1].metadata);
  EXPECT_EQ(decoder.decode<MonitorConfig>(encoder.encode(d.monitors[0])), d.monitors[0]);
  EXPECT_EQ(decoder.decode<Wire>(encoder.encode(d.wires[1])), d.wires[1]);
  EXPECT_EQ(decoder.decode<WireEndpoint>(encoder.encode(d.wires[1].to)), d.wires[1].to);
  EXPECT_EQ(decoder.decode<UIState>(encoder.encode(s.ui)), s.ui);
  EXPECT_EQ(decoder.decode<SourceType>("\"hardwareInput\""), SourceType::hardwareInput);
  EXPECT_EQ(decoder.decode<EndpointKind>("\"monitor\""), EndpointKind::monitor);
  EXPECT_EQ(decoder.decode<Appearance>("\"light\""), Appearance::light);

  ConfigSnapshot empty = ConfigSnapshot::empty();
  EXPECT_EQ(decodeSnapshot(encoder.encode(empty)), empty);

  // Text may hold a NUL character; it survives a round trip whole (the validator judges it).
  ConfigSnapshot withNul = s;
  withNul.devices[0].uid = std::string("a\0b", 3);
  EXPECT_EQ(decodeSnapshot(encoder.encode(withNul)).devices[0].uid.size(), 3u);
}

TEST(ConfigJSON, DoublesRoundTripExactly) {
  ConfigSnapshot s = ConfigSnapshot::empty();
  DeviceConfig d = DeviceConfig::makeDefault("d", 48000.0);
  d.volume = 0.1 + 0.2;
  d.channelGains = std::vector<double>{1e-300, 5e-324, 1.7976931348623157e308, -0.0, 1.0 / 3.0};
  s.devices.push_back(d);
  ConfigSnapshot back = decodeSnapshot(JSONEncoder::tidewell().encode(s));
  EXPECT_EQ(back, s);
  EXPECT_TRUE(std::signbit((*back.devices[0].channelGains)[3]));
}

TEST(ConfigJSON, DefaultedMembersReadAbsentNullAndEmptyCorrectly) {
  auto uidNull = decodeSnapshot(editedExample([](auto& t) { t["devices"][0]["uid"] = nullptr; }));
  EXPECT_EQ(uidNull.devices[0].uid, TidewellCore::derivedDeviceUID("d1"));
  auto uidEmpty = decodeSnapshot(editedExample([](auto& t) { t["devices"][0]["uid"] = ""; }));
  EXPECT_EQ(uidEmpty.devices[0].uid, "");
  auto nulls = decodeSnapshot(editedExample([](auto& t) {
    auto& d = t["devices"][0];
    d["volume"] = nullptr;
    d["icon"] = nullptr;
    d["channelGains"] = nullptr;
    d["sources"][0]["muteWhenCapturing"] = nullptr;
    d["sources"][0]["metadata"]["pid"] = nullptr;
    t["ui"]["selectedDeviceID"] = nullptr;
  }));
  EXPECT_EQ(nulls.devices[0].volume, 1.0);
  EXPECT_EQ(nulls.devices[0].icon, "waveform.circle");
  EXPECT_FALSE(nulls.devices[0].channelGains);
  EXPECT_FALSE(nulls.devices[0].sources[0].muteWhenCapturing);
  EXPECT_FALSE(nulls.devices[0].sources[0].metadata.pid);
  EXPECT_FALSE(nulls.ui.selectedDeviceID);
}

TEST(ConfigJSON, UnknownMembersAreIgnoredAndDroppedOnWrite) {
  std::string text = editedExample([](auto& t) {
    t["future"] = {{"x", 1}};
    t["devices"][0]["sources"][0]["metadata"]["extra"] = "y";
  });
  // A deeply nested unknown member costs nothing and breaks nothing.
  text.insert(1, "\"deep\":" + std::string(100000, '[') + std::string(100000, ']') + ",");
  auto s = decodeSnapshot(text);
  text = JSONEncoder::tidewell().encode(s);
  EXPECT_EQ(text.find("future"), std::string::npos);
  EXPECT_EQ(text.find("extra"), std::string::npos);
  EXPECT_EQ(text.find("deep"), std::string::npos);
}

TEST(ConfigJSON, MetadataWithOnlyAPidIsWrittenWithThatMemberOnly) {
  SourceMetadata m;
  m.pid = 1234;
  auto tree = nlohmann::json::parse(JSONEncoder::tidewell().encode(m));
  EXPECT_EQ(tree, nlohmann::json({{"pid", 1234}}));
}

TEST(ConfigJSON, MissingWrongAndNullMembersFailWithTypedErrorsAndPaths) {
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["sources"][0].erase("metadata"); }),
                      DecodingError::Kind::keyNotFound, "devices[0].sources[0].metadata");
  expectDecodingError(editedExample([](auto& t) { t.erase("ui"); }),
                      DecodingError::Kind::keyNotFound, "ui");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["name"] = nullptr; }),
                      DecodingError::Kind::valueNotFound, "devices[0].name");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["enabled"] = 1; }),
                      DecodingError::Kind::typeMismatch, "devices[0].enabled");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["sampleRate"] = "48000"; }),
                      DecodingError::Kind::typeMismatch, "devices[0].sampleRate");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["wires"][0]["to"]["channel"] = true; }),
                      DecodingError::Kind::typeMismatch, "devices[0].wires[0].to.channel");
  expectDecodingError(editedExample([](auto& t) { t["devices"] = nlohmann::json::object(); }),
                      DecodingError::Kind::typeMismatch, "devices");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["channelGains"] = {1.0, nullptr}; }),
                      DecodingError::Kind::valueNotFound, "devices[0].channelGains[1]");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["uid"] = 5; }),
                      DecodingError::Kind::typeMismatch, "devices[0].uid");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["wires"][0].erase("id"); }),
                      DecodingError::Kind::keyNotFound, "devices[0].wires[0].id");
}

TEST(ConfigJSON, BadEnumerationsAndNumbersThatDoNotFitAreDataCorrupted) {
  expectDecodingError(editedExample([](auto& t) { t["ui"]["appearance"] = "Dark"; }),
                      DecodingError::Kind::dataCorrupted, "ui.appearance");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["sources"][0]["type"] = "mic"; }),
                      DecodingError::Kind::dataCorrupted, "devices[0].sources[0].type");
  expectDecodingError(
      editedExample([](auto& t) { t["devices"][0]["sources"][0]["metadata"]["pid"] = 4294967295u; }),
      DecodingError::Kind::dataCorrupted, "devices[0].sources[0].metadata.pid");
  expectDecodingError(editedExample([](auto& t) { t["devices"][0]["channelCount"] = 2.5; }),
                      DecodingError::Kind::dataCorrupted, "devices[0].channelCount");
  expectDecodingError(
      editedExample([](auto& t) { t["devices"][0]["sources"][0]["metadata"]["processObjectID"] = -1; }),
      DecodingError::Kind::dataCorrupted, "devices[0].sources[0].metadata.processObjectID");
  expectDecodingError(editedExample([](auto& t) { t["schemaVersion"] = 9.3e18; }),
                      DecodingError::Kind::dataCorrupted, "schemaVersion");

  // Integral values written with a fraction or exponent are integers.
  auto s = decodeSnapshot(editedExample([](auto& t) {
    t["devices"][0]["channelCount"] = 4.0;
    t["devices"][0]["sources"][0]["metadata"]["pid"] = -2147483648;
  }));
  EXPECT_EQ(s.devices[0].channelCount, 4);
  EXPECT_EQ(s.devices[0].sources[0].metadata.pid, std::numeric_limits<std::int32_t>::min());
}

TEST(ConfigJSON, TextThatIsNotADocumentIsDataCorrupted) {
  for (std::string bad : {std::string(""), std::string("{"), std::string("{} x"),
                          std::string("{\"a\":1,}"), std::string("[1e400]"),
                          std::string("{\"schemaVersion\": 1e400}"),
                          std::string("\"\xff\xfe\""), std::string("\"\\ud800\"")}) {
    try {
      decodeSnapshot(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted) << bad;
    }
  }
  expectDecodingError("null", DecodingError::Kind::valueNotFound, "");
  expectDecodingError("[]", DecodingError::Kind::typeMismatch, "");
  // A byte-order mark in front of the document is tolerated.
  EXPECT_NO_THROW(decodeSnapshot("\xEF\xBB\xBF" + std::string(kWorkedExample)));
}

TEST(ConfigJSON, NonFiniteNumbersCannotBeWritten) {
  auto check = [](auto mutate, const std::string& path) {
    ConfigSnapshot s = fullDocument();
    mutate(s);
    try {
      JSONEncoder::tidewell().encode(s);
      ADD_FAILURE() << "encoded a non-finite value at " << path;
    } catch (const EncodingError& e) {
      EXPECT_EQ(e.codingPath(), path);
    }
  };
  const double inf = std::numeric_limits<double>::infinity();
  check([](ConfigSnapshot& s) { s.devices[0].volume = std::nan(""); }, "devices[0].volume");
  check([&](ConfigSnapshot& s) { s.devices[1].sampleRate = -inf; }, "devices[1].sampleRate");
  check([&](ConfigSnapshot& s) { s.devices[0].sources[2].gain = inf; }, "devices[0].sources[2].gain");
  check([](ConfigSnapshot& s) { (*s.devices[0].monitors[0].channelGains)[0] = std::nan(""); },
        "devices[0].monitors[0].channelGains[0]");
  check([&](ConfigSnapshot& s) { (*s.devices[0].channelGains)[2] = inf; },
        "devices[0].channelGains[2]");
}

TEST(ConfigJSON, InvalidUTF8TextCannotBeWritten) {
  ConfigSnapshot s = fullDocument();
  s.devices[0].name = "bad \xC3";
  EXPECT_THROW(JSONEncoder::tidewell().encode(s), EncodingError);
}

TEST(ConfigJSON, ValidationResultHasItsOwnStrictForm) {
  ValidationResult r{{ValidationIssue{"a.b", "Msg.", "devices[0]"}},
                     {ValidationIssue{"c", "W.", "ui.selectedDeviceID"}}};
  auto decoder = JSONDecoder::tidewell();
  std::string text = JSONEncoder::tidewell().encode(r);
  EXPECT_EQ(decoder.decode<ValidationResult>(text), r);
  EXPECT_THROW(decoder.decode<ValidationResult>(R"({"errors": []})"), DecodingError);
  EXPECT_THROW(decoder.decode<ValidationIssue>(R"({"code": "x", "message": "y"})"), DecodingError);
  EXPECT_THROW(decoder.decode<ValidationIssue>(R"({"code": "x", "message": "y", "path": 1})"),
               DecodingError);
}

}  // namespace
}  // namespace tidewell
