#include "TidewellApp/VolumeSliderLine.h"

#include "TidewellApp/ColorScheme.h"
#include "TidewellApp/ContinuousSlider.h"
#include "TidewellApp/SymbolProvider.h"
#include "TidewellApp/Theme.h"

#include <QHBoxLayout>
#include <QLabel>

#include <algorithm>
#include <cmath>

namespace tidewell {

double displayedGain(double gain) {
    if (!std::isfinite(gain)) return 1.0;
    return std::clamp(gain, minimumGain, maximumGain);
}

QString gainPercentText(double gain) {
    // The product of a held gain lies within 0 to 200, so the conversion is always defined.
    const double hundredfold = std::trunc(displayedGain(gain) * 100.0);
    return QString::number(static_cast<int>(hundredfold)) + QLatin1Char('%');
}

VolumeSliderLine::VolumeSliderLine(Binding<double> gain, QWidget* parent)
    : QWidget(parent), gain_(std::move(gain)), layout_(new QHBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(8);

    speaker_ = new QLabel(this);
    speaker_->setFixedWidth(18);
    speaker_->setAlignment(Qt::AlignCenter);
    layout_->addWidget(speaker_, 0, Qt::AlignVCenter);

    slider_ = new ContinuousSlider(minimumGain, maximumGain, this);
    layout_->addWidget(slider_, 1, Qt::AlignVCenter);
    connect(slider_, &ContinuousSlider::valueEdited, this, [this](double value) {
        if (gain_.set) gain_.set(value);
        refresh();
        emit edited();
    });

    percent_ = new QLabel(this);
    percent_->setFont(Theme::monospacedFont(11));
    percent_->setFixedWidth(42);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout_->addWidget(percent_, 0, Qt::AlignVCenter);

    connect(&ColorSchemeSource::instance(), &ColorSchemeSource::schemeChanged, this,
            &VolumeSliderLine::applyScheme);
    applyScheme();
    refresh();
}

void VolumeSliderLine::setBinding(Binding<double> gain) {
    gain_ = std::move(gain);
    refresh();
}

QString VolumeSliderLine::percentText() const { return percent_->text(); }

void VolumeSliderLine::refresh() {
    const double gain = gain_.get ? gain_.get() : 1.0;
    slider_->setValue(displayedGain(gain));
    percent_->setText(gainPercentText(gain));
}

void VolumeSliderLine::applyScheme() {
    const ColorScheme scheme = ColorSchemeSource::instance().scheme();
    const qreal side = SymbolProvider::sizeForFont(11);
    speaker_->setPixmap(SymbolProvider::pixmap(QStringLiteral("speaker.wave.1"), side,
                                               Theme::tertiaryText(scheme), devicePixelRatioF()));
    QPalette palette = percent_->palette();
    palette.setColor(QPalette::WindowText, Theme::secondaryText(scheme));
    percent_->setPalette(palette);
}

}  // namespace tidewell
