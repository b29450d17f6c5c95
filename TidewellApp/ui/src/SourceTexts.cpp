#include "TidewellApp/SourceTexts.h"

#include "TidewellApp/Theme.h"
#include "TidewellApp/TidewellAppModel.h"

#include <TidewellCore/Branding.h>

namespace tidewell {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

QString channels(const SourceConfig& source) {
    return QString::number(source.channelCount) + QStringLiteral("ch");
}

}  // namespace

QString sourceSubtitle(const TidewellAppModel& model, const SourceConfig& source) {
    const QString gap = QStringLiteral("  ");
    switch (source.type) {
        case SourceType::passThru:
            return QStringLiteral("Virtual pass-thru") + gap + channels(source);
        case SourceType::application:
            return QStringLiteral("Application") + gap +
                   (model.applicationIsAvailable(source) ? channels(source) : QStringLiteral("not running"));
        case SourceType::system:
            return QStringLiteral("System audio") + gap + channels(source);
        case SourceType::hardwareInput: {
            if (!model.hardwareInputIsAvailable(source)) return QStringLiteral("Offline") + gap + channels(source);
            const std::string name = model.hardwareInputName(source);
            return name == source.name ? channels(source) : text(name) + gap + channels(source);
        }
        case SourceType::virtualDevice:
            return QString::fromUtf8(Branding::productName.data(), qsizetype(Branding::productName.size())) +
                   QStringLiteral(" device") + gap + channels(source);
    }
    return channels(source);
}

bool sourceSubtitleWarns(const TidewellAppModel& model, const SourceConfig& source) {
    switch (source.type) {
        case SourceType::application:
            return !model.applicationIsAvailable(source);
        case SourceType::hardwareInput:
            return !model.hardwareInputIsAvailable(source);
        default:
            return false;
    }
}

QColor sourceSubtitleColor(const TidewellAppModel& model, const SourceConfig& source, ColorScheme scheme) {
    return sourceSubtitleWarns(model, source) ? Theme::orange(scheme) : Theme::secondaryText(scheme);
}

QString sourceChannelTitle(const TidewellAppModel& model, const SourceConfig& source, std::int64_t channel) {
    const auto name = TidewellAppModel::channelName(model.audioDeviceInventory().inputs,
                                                    source.metadata.deviceUID, channel);
    if (name) return QString::number(channel) + QStringLiteral(" \u00B7 ") + text(*name);
    if (channel == 1) return QStringLiteral("1 (L)");
    if (channel == 2) return QStringLiteral("2 (R)");
    return QString::number(channel);
}

std::optional<QColor> sourcePortTint(const DeviceConfig& device, const std::string& sourceID,
                                     ColorScheme scheme) {
    for (std::size_t index = 0; index < device.sources.size(); ++index) {
        if (device.sources[index].id == sourceID) return ZVTheme::wireColor(int(index), scheme);
    }
    return std::nullopt;
}

QString sourceSymbol(SourceType type) {
    switch (type) {
        case SourceType::passThru:
            return QStringLiteral("arrow.left.arrow.right.circle");
        case SourceType::application:
            return {};
        case SourceType::system:
            return QStringLiteral("desktopcomputer");
        case SourceType::hardwareInput:
            return QStringLiteral("waveform.path.ecg");
        case SourceType::virtualDevice:
            return QStringLiteral("square.stack.3d.down.right");
    }
    return {};
}

}  // namespace tidewell
