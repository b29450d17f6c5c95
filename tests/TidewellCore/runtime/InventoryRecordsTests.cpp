#include "TidewellCore/ConfigJSON.h"
#include "TidewellCore/InventoryRecords.h"
#include "TidewellCore/RuntimeRouteMap.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using namespace tidewell;
using nlohmann::json;

TEST(InventoryRecords, AbsentChannelNamesAreLeftOutAndStayAbsent)
{
    AudioDeviceInfo info{"uid-1", "Speakers", 2, true, std::nullopt};
    const std::string text = InventoryJSON::encode(info);
    EXPECT_FALSE(json::parse(text).contains("channelNames"));
    auto back = InventoryJSON::decode<AudioDeviceInfo>(text);
    EXPECT_EQ(back, info);
    EXPECT_FALSE(back.channelNames.has_value());

    AudioDeviceInfo empty = info;
    empty.channelNames = std::vector<std::string>{};
    EXPECT_NE(empty, info);
    EXPECT_EQ(InventoryJSON::decode<AudioDeviceInfo>(InventoryJSON::encode(empty)), empty);

    AudioDeviceInfo named = info;
    named.channelNames = std::vector<std::string>{"Left", ""};
    EXPECT_EQ(InventoryJSON::decode<AudioDeviceInfo>(InventoryJSON::encode(named)), named);
}

TEST(InventoryRecords, KeysFollowTheFieldOrder)
{
    AudioDeviceInfo info{"u", "n", 2, false, std::vector<std::string>{"a"}};
    auto object = nlohmann::ordered_json::parse(InventoryJSON::encode(info));
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) {
        keys.push_back(it.key());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"uid", "name", "channelCount", "isDefault", "channelNames"}));
}

TEST(InventoryRecords, InventoryOrderMatters)
{
    AudioDeviceInfo a{"a", "A", 2, true, std::nullopt};
    AudioDeviceInfo b{"b", "B", 1, false, std::nullopt};
    AudioDeviceInventory first{{a, b}, {b}};
    AudioDeviceInventory second{{b, a}, {b}};
    EXPECT_NE(first, second);
    EXPECT_EQ(InventoryJSON::decode<AudioDeviceInventory>(InventoryJSON::encode(first)), first);
}

TEST(InventoryRecords, CandidateWithOnlyADisplayName)
{
    auto candidate = InventoryJSON::decode<ApplicationSourceCandidate>(R"({"displayName":"PID 42"})");
    EXPECT_EQ(candidate, (ApplicationSourceCandidate{"PID 42", std::nullopt, std::nullopt, std::nullopt}));

    ApplicationSourceCandidate full{"Player", "org.example.player", 4242, UINT64_MAX};
    const std::string text = InventoryJSON::encode(full);
    EXPECT_NE(text.find("18446744073709551615"), std::string::npos); // exact, never through a double
    EXPECT_EQ(InventoryJSON::decode<ApplicationSourceCandidate>(text), full);
}

TEST(InventoryRecords, DecodingFailsOnMissingOrMistypedRequiredKeys)
{
    auto kindOf = [](auto decodeCall) {
        try {
            decodeCall();
        } catch (const DecodingError &error) {
            return error.kind();
        }
        ADD_FAILURE() << "decoded";
        return DecodingError::Kind::dataCorrupted;
    };
    EXPECT_EQ(kindOf([] { InventoryJSON::decode<AudioDeviceInfo>(R"({"uid":"u","name":"n","isDefault":true})"); }),
              DecodingError::Kind::keyNotFound);
    EXPECT_EQ(kindOf([] {
                  InventoryJSON::decode<AudioDeviceInfo>(R"({"uid":"u","name":"n","channelCount":"2","isDefault":true})");
              }),
              DecodingError::Kind::typeMismatch);
    EXPECT_EQ(kindOf([] { InventoryJSON::decode<ApplicationSourceCandidate>(R"({"displayName":"x","pid":3000000000})"); }),
              DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(kindOf([] { InventoryJSON::decode<ApplicationSourceCandidate>(R"({"displayName":"x","processObjectID":-1})"); }),
              DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(kindOf([] { InventoryJSON::decode<AudioDeviceInventory>(R"({"inputs":[{}],"outputs":[]})"); }),
              DecodingError::Kind::keyNotFound);
    EXPECT_EQ(kindOf([] { InventoryJSON::decode<InstallResult>("not json"); }), DecodingError::Kind::dataCorrupted);
}

TEST(InventoryRecords, PermissionStatusIsExactAndCaseSensitive)
{
    EXPECT_EQ(permissionStatusFromRawValue("granted"), PermissionStatus::granted);
    EXPECT_FALSE(permissionStatusFromRawValue("Granted"));
    EXPECT_EQ(rawValue(PermissionStatus::notDetermined), "notDetermined");
    EXPECT_EQ(allPermissionStatuses.front(), PermissionStatus::notDetermined);
    EXPECT_EQ(allPermissionStatuses.back(), PermissionStatus::unknown);
    EXPECT_EQ(InventoryJSON::encode(PermissionStatus::restricted), "\"restricted\"");
    EXPECT_THROW(InventoryJSON::decode<PermissionStatus>("\"Granted\""), DecodingError);
}

TEST(InventoryRecords, ReportRecordsRoundTrip)
{
    HealthReport report;
    report.agentVersion = "1.0";
    report.minimumSupportedOS = "14.4.0";
    report.configURL = "/home/u/.local/share/Tidewell/config.json";
    report.deviceCount = 3;
    report.validation.errors = {{"device.invalidVolume", "Volume is out of range.", "devices[0].volume"}};
    report.audioCapturePermission = PermissionStatus::granted;
    report.microphonePermission = PermissionStatus::denied;
    report.halDriverLoaded = true;
    EXPECT_EQ(InventoryJSON::decode<HealthReport>(InventoryJSON::encode(report)), report);

    DeviceTemplate templ{"Stereo", 48000.0, 2};
    EXPECT_EQ(InventoryJSON::decode<DeviceTemplate>(InventoryJSON::encode(templ)), templ);
    EXPECT_THROW(InventoryJSON::encode(DeviceTemplate{"x", NAN, 2}), EncodingError);

    InstallResult result{false, "Could not copy."};
    EXPECT_EQ(InventoryJSON::decode<InstallResult>(InventoryJSON::encode(result)), result);
}

TEST(InventoryRecords, RoutesAndDeviceSummariesHaveTheirJSONForms)
{
    auto keysOf = [](const std::string &text) {
        auto object = nlohmann::ordered_json::parse(text);
        std::vector<std::string> keys;
        for (auto it = object.begin(); it != object.end(); ++it) {
            keys.push_back(it.key());
        }
        return keys;
    };
    const RuntimeChannelRoute route(3, -1);
    const std::string routeText = InventoryJSON::encode(route);
    EXPECT_EQ(keysOf(routeText), (std::vector<std::string>{"sourceChannel", "outputChannel"}));
    EXPECT_EQ(json::parse(routeText)["sourceChannel"], 3);
    EXPECT_EQ(InventoryJSON::decode<RuntimeChannelRoute>(routeText), route);
    EXPECT_EQ(InventoryJSON::decode<RuntimeChannelRoute>(R"({"outputChannel":2,"sourceChannel":1})"),
              RuntimeChannelRoute(1, 2));
    EXPECT_THROW(InventoryJSON::decode<RuntimeChannelRoute>(R"({"sourceChannel":1})"), DecodingError);
    EXPECT_THROW(InventoryJSON::decode<RuntimeChannelRoute>(R"({"sourceChannel":1,"outputChannel":"2"})"),
                 DecodingError);

    const HALDeviceSummary summary{"tidewell.device.a", "Mixer", 0, 8};
    const std::string summaryText = InventoryJSON::encode(summary);
    EXPECT_EQ(keysOf(summaryText),
              (std::vector<std::string>{"uid", "name", "inputChannelCount", "outputChannelCount"}));
    EXPECT_EQ(InventoryJSON::decode<HALDeviceSummary>(summaryText), summary);
    EXPECT_THROW(InventoryJSON::decode<HALDeviceSummary>(R"({"uid":"u","name":"n","inputChannelCount":2})"),
                 DecodingError);
}

} // namespace
