// The road of one edit with everything running: the plug-in in a private audio server, the
// routing service on its own poll loop, and the model. A gain moved through a binding is heard
// by a recording client at once, is in the file after the pause, and the service's passes in
// between never put the saved gain back.

#include <AudioClient/AudioHardware.h>
#include <AudioToolsCommon/Analysis.h>

#include <QDateTime>
#include <QFileInfo>
#include <array>

#include "ModelEndToEndFixture.h"
#include "TidewellApp/Bindings.h"
#include "TidewellCore/TidewellConstants.h"

namespace tidewell::testing {
namespace {

// Records a device's first input channel block by block: the host time of each block's first
// frame and its level. The IO proc only writes into storage made beforehand.
class BlockRecorder {
 public:
  struct Block {
    std::uint64_t hostTime = 0;
    std::uint32_t frames = 0;
    double dbfs = -400;
  };

  explicit BlockRecorder(const std::string& uid) {
    CFStringRef text = CFStringCreateWithCString(nullptr, uid.c_str(), kCFStringEncodingUTF8);
    AudioObjectPropertyAddress address = {kAudioHardwarePropertyTranslateUIDToDevice,
                                          kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = sizeof device_;
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof text, &text, &size,
                               &device_);
    CFRelease(text);
    if (device_ != 0 && AudioDeviceCreateIOProcID(device_, &BlockRecorder::record, this, &proc_) == 0) {
      started_ = AudioDeviceStart(device_, proc_) == 0;
    }
  }
  ~BlockRecorder() {
    if (proc_) {
      AudioDeviceStop(device_, proc_);
      AudioDeviceDestroyIOProcID(device_, proc_);
    }
  }
  bool started() const { return started_; }
  std::vector<Block> blocks() const {
    return std::vector<Block>(blocks_.begin(), blocks_.begin() + long(count_.load()));
  }
  std::optional<Block> last() const {
    std::size_t count = count_.load();
    if (count == 0) return std::nullopt;
    return blocks_[count - 1];
  }

 private:
  static OSStatus record(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                         const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*,
                         void* data) {
    auto* self = static_cast<BlockRecorder*>(data);
    std::size_t at = self->count_.load(std::memory_order_relaxed);
    if (!in || in->mNumberBuffers < 1 || at >= self->blocks_.size()) return 0;
    const AudioBuffer& buffer = in->mBuffers[0];
    if (buffer.mNumberChannels == 0 || !buffer.mData) return 0;
    const auto frames = buffer.mDataByteSize / (4 * buffer.mNumberChannels);
    self->blocks_[at] = Block{inputTime ? inputTime->mHostTime : 0, frames,
                              tools::rmsDbfs(static_cast<const float*>(buffer.mData), frames,
                                             buffer.mNumberChannels, 0)};
    self->count_.store(at + 1, std::memory_order_release);
    return 0;
  }

  AudioObjectID device_ = 0;
  AudioDeviceIOProcID proc_ = nullptr;
  bool started_ = false;
  std::array<Block, 20000> blocks_{};
  std::atomic<std::size_t> count_{0};
};

double seconds(std::uint64_t nanoseconds) { return double(nanoseconds) / 1e9; }

TEST_F(ModelEndToEndTest, ALiveGainIsHeardAtOnceSavedAfterThePauseAndNotPutBack) {
  DeviceConfig device;
  std::unique_ptr<TidewellAppModel> liveModel;
  ASSERT_NO_FATAL_FAILURE(runOneDevice(device, liveModel));
  TidewellAppModel& model = *liveModel;
  ASSERT_TRUE(eventually([&] { return readFile(serviceLog).find("Starting") != std::string::npos; }))
      << readFile(serviceLog);

  // An application plays a -6 dBFS tone into the device; a client records the device.
  player = spawnTool({"audio-play", "--device", device.uid, "--sine", "997", "--level", "-6",
                      "--duration", "60"});
  ASSERT_GT(player, 0);
  BlockRecorder recorder(device.uid);
  ASSERT_TRUE(recorder.started());
  auto near = [](double dbfs, double target) { return std::abs(dbfs - target) < 1.0; };
  ASSERT_TRUE(eventually([&] {
    auto block = recorder.last();
    return block && near(block->dbfs, -6.0);
  }));

  // A quarter of the gain: -12 dB.
  auto gain = sourceBinding(model, "V", "V-pt", &SourceConfig::gain, 1.0);
  const std::uint64_t setAt = AudioGetCurrentHostTime();
  const QDateTime setWallClock = QDateTime::currentDateTimeUtc();
  gain.set(0.25);
  const auto passBefore = lastServicePass();
  ASSERT_TRUE(waitFor([&] { return savedConfig().devices[0].sources[0].gain == 0.25; }, 10000));
  const QDateTime savedAt =
      QFileInfo(QString::fromStdString(configFile.string())).lastModified().toUTC();
  // The service keeps passing over the saved file for a while more.
  QTest::qWait(600);
  EXPECT_EQ(model.statusMessage(), "Saved");
  EXPECT_GT(lastServicePass(), passBefore) << "the service made no pass meanwhile";

  // Heard: the first block recorded entirely after the edit at the new level.
  const auto blocks = recorder.blocks();
  std::optional<std::size_t> first;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].hostTime > setAt && near(blocks[i].dbfs, -18.06)) {
      first = i;
      break;
    }
  }
  ASSERT_TRUE(first) << "the new gain was never heard";
  const double heardAfter = seconds(blocks[*first].hostTime - setAt) + blocks[*first].frames / 48000.0;
  RecordProperty("heardAfterMilliseconds", int(heardAfter * 1000));
  EXPECT_LT(heardAfter, 0.1);

  // In the file after the pause, well within half a second.
  const double savedAfter = double(setWallClock.msecsTo(savedAt)) / 1000.0;
  RecordProperty("savedAfterMilliseconds", int(savedAfter * 1000));
  EXPECT_GE(savedAfter, 0.25);
  EXPECT_LT(savedAfter, 0.5);

  // Never put back: from the first block at the new level on, no block is louder than it. A
  // quieter block is the player's gap, a cycle the loaded server gave up on (audio that never
  // arrived), which no gain makes; it is told apart, not counted.
  std::size_t putBack = 0;
  std::string levels;
  for (std::size_t i = *first; i < blocks.size(); ++i) {
    if (near(blocks[i].dbfs, -18.06)) continue;
    putBack += blocks[i].dbfs > -18.06;
    levels += " " + std::to_string(blocks[i].dbfs) + "@" +
              std::to_string(seconds(blocks[i].hostTime - setAt)).substr(0, 5) + "s";
  }
  EXPECT_EQ(putBack, 0u) << "of " << blocks.size() - *first << " blocks; off the new level:" << levels;
  EXPECT_GT(blocks.size() - *first, 40u);
}

// Fault mended: the service recreates a missing configuration file, empty, and the window's
// next edit was carried over onto it as another writer's removal of every device, so the
// window's devices, the only copy left, were gone. The edit saves them back, the service plays
// them again, and the status says what happened.
TEST_F(ModelEndToEndTest, AFileDeletedUnderTheWindowAndTheServiceGetsTheWindowsDevicesBack) {
  DeviceConfig device;
  std::unique_ptr<TidewellAppModel> liveModel;
  ASSERT_NO_FATAL_FAILURE(runOneDevice(device, liveModel));
  TidewellAppModel& model = *liveModel;

  std::filesystem::remove(configFile);
  auto fileWithoutDevices = [&] {
    try {
      return savedConfig().devices.empty();
    } catch (const std::exception&) {
      return false;  // not there yet
    }
  };
  ASSERT_TRUE(eventually(fileWithoutDevices)) << readFile(serviceLog);
  ASSERT_TRUE(eventually([&] { return !CoreAudioDeviceRegistry::containsDevice(device.uid); }));

  sourceBinding(model, "V", "V-pt", &SourceConfig::gain, 1.0).set(0.5);
  ASSERT_TRUE(waitFor([&] { return !model.liveSnapshot(); }, 10000));
  const ConfigSnapshot file = savedConfig();
  ASSERT_EQ(file.devices.size(), 1u);
  EXPECT_EQ(file.devices[0].id, "V");
  EXPECT_EQ(file.devices[0].uid, device.uid);
  EXPECT_DOUBLE_EQ(file.devices[0].sources.at(0).gain, 0.5);
  EXPECT_EQ(model.snapshot(), file);
  EXPECT_EQ(model.statusMessage(),
            "Saved (the configuration file had lost every device; the window's devices were saved "
            "to it again)");

  // The service plays the device again and leaves the file as the window saved it.
  ASSERT_TRUE(eventually([&] { return CoreAudioDeviceRegistry::containsDevice(device.uid); }));
  const auto pass = lastServicePass();
  ASSERT_TRUE(eventually([&] { return lastServicePass() > pass; }));
  EXPECT_EQ(savedConfig(), file);
}

}  // namespace
}  // namespace tidewell::testing
