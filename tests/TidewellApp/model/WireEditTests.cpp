// Connecting and deleting wires through the model: what is saved, the status texts, the
// helpers restarted, and a live edit still waiting for its pause.

#include "ModelTestSupport.h"
#include "TidewellApp/Bindings.h"

namespace tidewell::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class WireEditTest : public ModelTest {
 protected:
  std::unique_ptr<TidewellAppModel> model;
  DeviceConfig device = makeDevice("D", "Desk");

  void SetUp() override {
    device.sources.push_back(makeSource("S", SourceType::system, "Everything"));
    device.monitors.push_back(makeMonitor("M", "Speakers"));
    writeConfig({device});
    model = makeModel();
  }
  static WireEndpoint end(EndpointKind kind, const std::string& owner, std::int64_t channel) {
    return WireEndpoint{kind, owner, channel};
  }
  std::vector<Wire> savedWires() { return savedConfig().devices.at(0).wires; }
  static bool joins(const Wire& wire, const WireEndpoint& from, const WireEndpoint& to) {
    return wire.from == from && wire.to == to;
  }
};

TEST_F(WireEditTest, ConnectingSavesOneWireReportsItAndRestartsTheRunningHelpersInOrder) {
  const auto from = end(EndpointKind::source, "S", 1);
  const auto to = end(EndpointKind::deviceOutput, "D", 2);
  const std::size_t before = savedWires().size();

  EXPECT_TRUE(model->connectWire("D", from, to));
  EXPECT_EQ(model->statusMessage(), "Connected wire");
  auto wires = savedWires();
  ASSERT_EQ(wires.size(), before + 1);
  EXPECT_TRUE(joins(wires.back(), from, to));
  EXPECT_THAT(launcher->calls, ElementsAre("monitor:", "hardware:", "tap:"));

  // The same ends again: no second wire, still reported and saved.
  model->setStatusMessage("");
  EXPECT_TRUE(model->connectWire("D", from, to));
  EXPECT_EQ(model->statusMessage(), "Connected wire");
  EXPECT_EQ(savedWires().size(), before + 1);

  // Device channel to monitor channel.
  EXPECT_TRUE(model->connectWire("D", end(EndpointKind::deviceOutput, "D", 1),
                                 end(EndpointKind::monitor, "M", 2)));
  EXPECT_TRUE(joins(savedWires().back(), end(EndpointKind::deviceOutput, "D", 1),
                    end(EndpointKind::monitor, "M", 2)));
}

TEST_F(WireEditTest, ARefusedConnectionReportsItAndSavesAndRestartsNothing) {
  const auto saved = readFile(configFile);
  const auto modified = modificationTime(configFile);
  // Channel 3 of a 2-channel source; a wire the wrong way round; an unknown device.
  EXPECT_FALSE(model->connectWire("D", end(EndpointKind::source, "S", 3),
                                  end(EndpointKind::deviceOutput, "D", 1)));
  EXPECT_EQ(model->statusMessage(), "Could not connect wire");
  model->setStatusMessage("");
  EXPECT_FALSE(model->connectWire("D", end(EndpointKind::deviceOutput, "D", 1),
                                  end(EndpointKind::source, "S", 1)));
  EXPECT_EQ(model->statusMessage(), "Could not connect wire");
  model->setStatusMessage("");
  EXPECT_FALSE(model->connectWire("X", end(EndpointKind::source, "S", 1),
                                  end(EndpointKind::deviceOutput, "X", 1)));
  EXPECT_EQ(model->statusMessage(), "Could not connect wire");
  EXPECT_EQ(readFile(configFile), saved);
  EXPECT_EQ(modificationTime(configFile), modified);
  EXPECT_THAT(launcher->calls, IsEmpty());
}

TEST_F(WireEditTest, DeletingRemovesTheWireAndAWireAlreadyGoneIsReported) {
  const std::string wireID = savedWires().at(0).id;
  EXPECT_TRUE(model->deleteWire("D", wireID));
  EXPECT_EQ(model->statusMessage(), "Deleted wire");
  for (const auto& wire : savedWires()) EXPECT_NE(wire.id, wireID);
  EXPECT_THAT(launcher->calls, ElementsAre("monitor:", "hardware:", "tap:"));

  launcher->calls.clear();
  const auto saved = readFile(configFile);
  EXPECT_FALSE(model->deleteWire("D", wireID));
  EXPECT_EQ(model->statusMessage(), "Could not delete wire");
  EXPECT_FALSE(model->deleteWire("X", savedWires().at(0).id));
  EXPECT_EQ(model->statusMessage(), "Could not delete wire");
  EXPECT_EQ(readFile(configFile), saved);
  EXPECT_THAT(launcher->calls, IsEmpty());
}

// Fault mended: a wire edit whose save was refused reported the edit as made and restarted
// the helpers that play the routes. Refused because another copy removed the device
// meanwhile, or because the configuration does not validate: false, the refusal's own status,
// nothing saved and no helper restarted.
TEST_F(WireEditTest, AWireEditWhoseSaveIsRefusedReportsFailureAndRestartsNothing) {
  ConfigSnapshot other = savedConfig();
  other.devices = {makeDevice("E", "Elsewhere")};
  store->save(other);
  EXPECT_FALSE(model->connectWire("D", end(EndpointKind::source, "S", 1),
                                  end(EndpointKind::deviceOutput, "D", 2)));
  EXPECT_EQ(model->statusMessage(), "Not saved: the configuration changed on disk meanwhile; reloaded it");
  EXPECT_EQ(savedConfig(), other);
  EXPECT_THAT(launcher->calls, IsEmpty());

  // Two devices sharing an id: the file loads, but no save validates.
  ConfigSnapshot invalid = other;
  invalid.devices = {device, makeDevice("D", "Desk twin")};
  store->save(invalid);
  model->reload();
  ASSERT_FALSE(model->validation().isValid());
  const auto saved = readFile(configFile);
  EXPECT_FALSE(model->deleteWire("D", invalid.devices[0].wires.at(0).id));
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_FALSE(model->connectWire("D", end(EndpointKind::deviceOutput, "D", 1),
                                  end(EndpointKind::monitor, "M", 2)));
  EXPECT_EQ(model->statusMessage(), "Fix validation errors before saving");
  EXPECT_EQ(readFile(configFile), saved);
  EXPECT_THAT(launcher->calls, IsEmpty());
}

// A gain moved a moment before a wire edit is already playing; the wire edit must not put the
// saved gain back, neither in the file nor in what is published.
TEST_F(WireEditTest, AWireEditKeepsAGainChangedJustBefore) {
  auto gain = sourceBinding(*model, "D", "S", &SourceConfig::gain, 1.0);
  gain.set(0.3);
  ASSERT_TRUE(model->liveSnapshot());
  EXPECT_TRUE(model->connectWire("D", end(EndpointKind::source, "S", 1),
                                 end(EndpointKind::deviceOutput, "D", 2)));
  EXPECT_EQ(savedConfig().devices.at(0).sources.at(1).gain, 0.3);
  EXPECT_EQ(publisher->published.back().devices.at(0).sources.at(1).gain, 0.3);
  EXPECT_EQ(model->statusMessage(), "Connected wire");

  gain.set(0.6);
  EXPECT_TRUE(model->deleteWire("D", savedWires().back().id));
  EXPECT_EQ(savedConfig().devices.at(0).sources.at(1).gain, 0.6);
  EXPECT_EQ(publisher->published.back().devices.at(0).sources.at(1).gain, 0.6);
  EXPECT_EQ(model->statusMessage(), "Deleted wire");
  EXPECT_FALSE(model->liveSnapshot());
}

}  // namespace
}  // namespace tidewell::testing
