#include "TidewellApp/SymbolProvider.h"

#include <QFontDatabase>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QRawFont>

#include <cstring>

namespace tidewell {

namespace {

// How a glyph sits in the symbol's square.
enum class Frame {
    none,      // the glyph alone
    ring,      // the glyph, smaller, inside a circle outline
    disc,      // a filled circle with the glyph cut out of it
    ellipsis,  // three dots inside a circle outline, drawn to stay apart at small sizes
};

struct Entry {
    const char* symbol;
    const char* glyphName;
    char16_t glyph;
    Frame frame = Frame::none;
    bool mirrored = false;          // drawn flipped left to right
    const char* badgeName = nullptr;  // a small glyph at the lower trailing corner
    char16_t badge = 0;
    const char* text = nullptr;     // a numeral drawn in the UI font instead of a glyph
};

// The glyphs of the circle frames.
constexpr char16_t ringGlyph = 0xe836;  // radio_button_unchecked
constexpr char16_t discGlyph = 0xef4a;  // circle

// Every symbol name the application's views use. Where the icon font has no outline variant,
// the outline and filled names share a glyph; the views tint them differently.
const Entry entries[] = {
    {"exclamationmark.triangle.fill", "warning", 0xe002},
    {"exclamationmark.circle.fill", "error", 0xe000},
    {"questionmark.circle.fill", "help", 0xe887},
    {"checkmark", "check", 0xe5ca},
    {"checkmark.circle.fill", "check_circle", 0xe86c},
    {"info.circle", "info_outline", 0xe88f},
    {"xmark", "close", 0xe5cd},
    {"xmark.octagon.fill", "dangerous", 0xe99a},
    {"circle", "radio_button_unchecked", 0xe836},
    {"1.circle", "radio_button_unchecked", 0xe836, Frame::none, false, nullptr, 0, "1"},
    {"2.circle", "radio_button_unchecked", 0xe836, Frame::none, false, nullptr, 0, "2"},
    {"sidebar.leading", "view_sidebar", 0xf114, Frame::none, true},
    {"plus", "add", 0xe145},
    {"number", "tag", 0xe9ef},
    {"trash", "delete_outline", 0xe92e},
    {"trash.fill", "delete", 0xe872},
    {"trash.circle.fill", "delete", 0xe872, Frame::disc},
    {"arrow.clockwise", "refresh", 0xe5d5},
    {"arrow.triangle.2.circlepath", "sync", 0xe627},
    {"arrow.down.circle", "arrow_downward", 0xe5db, Frame::ring},
    {"arrow.up.circle.fill", "arrow_upward", 0xe5d8, Frame::disc},
    {"arrow.left.arrow.right.circle", "swap_horiz", 0xe8d4, Frame::ring},
    {"ellipsis.circle", "more_horiz", 0xe5d3, Frame::ellipsis},
    {"play.fill", "play_arrow", 0xe037},
    {"stop.fill", "stop", 0xe047},
    {"scope", "gps_fixed", 0xe1b3},
    {"gearshape.2", "miscellaneous_services", 0xf10c},
    {"gearshape.2.fill", "miscellaneous_services", 0xf10c},
    {"waveform.circle", "graphic_eq", 0xe1b8, Frame::ring},
    {"waveform.circle.fill", "graphic_eq", 0xe1b8, Frame::disc},
    {"waveform.path.ecg", "show_chart", 0xe6e1},
    {"waveform.path.ecg.rectangle", "monitor_heart", 0xeaa2},
    {"waveform.path.ecg.rectangle.fill", "monitor_heart", 0xeaa2, Frame::disc},
    {"waveform.path.badge.plus", "graphic_eq", 0xe1b8, Frame::none, false, "add_circle", 0xe147},
    {"speaker.circle", "volume_mute", 0xe04e, Frame::ring},
    {"speaker.circle.fill", "volume_mute", 0xe04e, Frame::disc},
    {"speaker.wave.1", "volume_down", 0xe04d},
    {"speaker.wave.2", "volume_up", 0xe050},
    {"speaker.wave.2.fill", "volume_up", 0xe050},
    {"speaker.wave.2.circle.fill", "volume_up", 0xe050, Frame::disc},
    {"speaker.slash.fill", "volume_off", 0xe04f},
    {"mic", "mic_none", 0xe02a},
    {"mic.circle", "mic_none", 0xe02a, Frame::ring},
    {"mic.circle.fill", "mic", 0xe029, Frame::disc},
    {"headphones", "headphones", 0xf01f},
    {"headphones.circle", "headphones", 0xf01f, Frame::ring},
    {"headphones.circle.fill", "headphones", 0xf01f, Frame::disc},
    {"music.note", "music_note", 0xe405},
    {"gamecontroller.circle", "sports_esports", 0xea28, Frame::ring},
    {"gamecontroller.circle.fill", "sports_esports", 0xea28, Frame::disc},
    {"bubble.left.circle", "chat_bubble_outline", 0xe0cb, Frame::ring},
    {"bubble.left.circle.fill", "chat_bubble", 0xe0ca, Frame::disc},
    {"video.circle", "videocam", 0xe04b, Frame::ring},
    {"video.circle.fill", "videocam", 0xe04b, Frame::disc},
    {"globe", "language", 0xe894},
    {"desktopcomputer", "monitor", 0xef5b},
    {"desktopcomputer.and.arrow.down", "install_desktop", 0xeb71},
    {"desktopcomputer.and.arrow.down.circle.fill", "install_desktop", 0xeb71, Frame::disc},
    {"dot.radiowaves.left.and.right", "sensors", 0xe51e},
    {"rectangle.split.2x1", "vertical_split", 0xe949},
    {"square.stack.3d.down.right", "auto_awesome_motion", 0xe661},
};

const QHash<QString, const Entry*>& table() {
    static const QHash<QString, const Entry*> byName = [] {
        QHash<QString, const Entry*> h;
        for (const Entry& e : entries) h.insert(QString::fromLatin1(e.symbol), &e);
        return h;
    }();
    return byName;
}

const Entry* find(const QString& name) { return table().value(name, nullptr); }

// The icon font at unit size, loaded once.
const QRawFont& iconFont() {
    static const QRawFont font = [] {
        QRawFont raw;
        const int id = QFontDatabase::addApplicationFont(SymbolProvider::fontPath());
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (!families.isEmpty()) {
            QFont f(families.first());
            f.setPixelSize(64);
            raw = QRawFont::fromFont(f);
        }
        if (!raw.isValid()) qWarning("Symbols: cannot load the icon font %s", qPrintable(SymbolProvider::fontPath()));
        return raw;
    }();
    return font;
}

// A glyph's outline scaled so the font's em square becomes `box`.
QPainterPath glyphPath(char16_t codepoint, const QRectF& box, bool mirrored = false) {
    const QRawFont& font = iconFont();
    if (!font.isValid()) return {};
    const QChar character(codepoint);
    const QList<quint32> indexes = font.glyphIndexesForString(QString(character));
    if (indexes.isEmpty() || indexes.first() == 0) return {};
    QPainterPath path = font.pathForGlyph(indexes.first());  // baseline at y 0, em = pixel size
    const qreal em = font.pixelSize();
    QTransform t;
    t.translate(box.left(), box.top());
    t.scale(box.width() / em, box.height() / em);
    if (mirrored) {
        t.translate(em, 0);
        t.scale(-1, 1);
    }
    t.translate(0, font.ascent());  // the glyph's em square spans ascent above the baseline
    return t.map(path);
}

QRectF centred(const QRectF& box, qreal factor) {
    const QSizeF s = box.size() * factor;
    return QRectF(box.center() - QPointF(s.width() / 2, s.height() / 2), s);
}

void draw(QPainter& painter, const Entry& e, const QRectF& box, const QColor& tint) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    // Inner glyph of a framed symbol: about half the circle, a little larger when cut out of
    // a filled circle so the cut-out reads at small sizes.
    constexpr qreal inner = 0.58, cutOut = 0.64;
    switch (e.frame) {
    case Frame::none:
        painter.fillPath(glyphPath(e.glyph, box, e.mirrored), tint);
        break;
    case Frame::ring:
        painter.fillPath(glyphPath(ringGlyph, box), tint);
        painter.fillPath(glyphPath(e.glyph, centred(box, inner), e.mirrored), tint);
        break;
    case Frame::ellipsis: {
        // The font's dots, scaled into the ring, run together into a bar below about 20 px and
        // read as a circled minus; these keep a gap of their own size apart.
        painter.fillPath(glyphPath(ringGlyph, box), tint);
        const qreal dot = box.width() * 0.125, pitch = box.width() * 0.2;
        QPainterPath dots;
        for (int i = -1; i <= 1; ++i)
            dots.addEllipse(QPointF(box.center().x() + i * pitch, box.center().y()), dot / 2, dot / 2);
        painter.fillPath(dots, tint);
        break;
    }
    case Frame::disc: {
        const QPainterPath disc = glyphPath(discGlyph, box);
        painter.fillPath(disc.subtracted(glyphPath(e.glyph, centred(box, cutOut), e.mirrored)), tint);
        break;
    }
    }
    if (e.text) {
        QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        f.setPixelSize(qMax(1, qRound(box.height() * 0.5)));
        f.setWeight(QFont::DemiBold);
        painter.setFont(f);
        painter.setPen(tint);
        painter.drawText(box, Qt::AlignCenter, QString::fromLatin1(e.text));
    }
    if (e.badge) {
        // A smaller glyph at the lower trailing corner, cut free from the main glyph.
        const QRectF badgeBox(box.left() + box.width() * 0.48, box.top() + box.height() * 0.48,
                              box.width() * 0.54, box.height() * 0.54);
        painter.setCompositionMode(QPainter::CompositionMode_DestinationOut);
        QPainterPath clearing;
        clearing.addEllipse(centred(badgeBox, 0.9));
        painter.fillPath(clearing, Qt::black);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.fillPath(glyphPath(e.badge, badgeBox), tint);
    }
}

class SymbolIconEngine : public QIconEngine {
public:
    SymbolIconEngine(QString name, QColor tint) : name_(std::move(name)), tint_(std::move(tint)) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const Entry* e = find(name_);
        if (!e) return;
        QColor tint = tint_;
        if (mode == QIcon::Disabled) tint.setAlphaF(tint.alphaF() * 0.35f);
        const qreal side = qMin(rect.width(), rect.height());
        painter->save();
        draw(*painter, *e, QRectF(QRectF(rect).center() - QPointF(side / 2, side / 2), QSizeF(side, side)), tint);
        painter->restore();
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }
    // `size` is already in device pixels.
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        {
            QPainter p(&pm);
            paint(&p, QRect(QPoint(0, 0), size), mode, state);
        }
        pm.setDevicePixelRatio(scale);
        return pm;
    }
    QIconEngine* clone() const override { return new SymbolIconEngine(name_, tint_); }
    QString key() const override { return QStringLiteral("tidewell-symbol"); }
    bool isNull() override { return !find(name_); }

private:
    QString name_;
    QColor tint_;
};

}  // namespace

QString SymbolProvider::fontPath() {
    return QStringLiteral(
        "/usr/share/fonts/truetype/material-design-icons-iconfont/MaterialIcons-Regular.ttf");
}

bool SymbolProvider::fontAvailable() { return iconFont().isValid(); }

bool SymbolProvider::exists(const QString& name) { return find(name) != nullptr; }

QStringList SymbolProvider::names() {
    QStringList list;
    for (const Entry& e : entries) list << QString::fromLatin1(e.symbol);
    return list;
}

QPixmap SymbolProvider::pixmap(const QString& name, qreal size, const QColor& tint, qreal ratio) {
    const Entry* e = find(name);
    if (!e || size <= 0) return {};
    const QString key = QStringLiteral("tw-symbol:%1:%2:%3:%4")
                            .arg(name)
                            .arg(size)
                            .arg(tint.rgba(), 8, 16)
                            .arg(ratio);
    QPixmap pm;
    if (QPixmapCache::find(key, &pm)) return pm;
    const int side = qCeil(size * ratio);
    pm = QPixmap(side, side);
    pm.fill(Qt::transparent);
    {
        QPainter painter(&pm);
        draw(painter, *e, QRectF(0, 0, side, side), tint);
    }
    pm.setDevicePixelRatio(ratio);
    QPixmapCache::insert(key, pm);
    return pm;
}

QIcon SymbolProvider::icon(const QString& name, const QColor& tint) {
    if (!exists(name)) return {};
    return QIcon(new SymbolIconEngine(name, tint));
}

qreal SymbolProvider::sizeForFont(qreal points) { return std::round(points * 1.25); }

QList<SymbolProvider::Glyph> SymbolProvider::glyphs(const QString& name) {
    const Entry* e = find(name);
    if (!e) return {};
    QList<Glyph> list{{QString::fromLatin1(e->glyphName), e->glyph}};
    if (e->badge) list.append({QString::fromLatin1(e->badgeName), e->badge});
    if (e->frame == Frame::ring) list.append({QStringLiteral("radio_button_unchecked"), ringGlyph});
    if (e->frame == Frame::disc) list.append({QStringLiteral("circle"), discGlyph});
    return list;
}

}  // namespace tidewell
