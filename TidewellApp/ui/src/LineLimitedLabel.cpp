#include "TidewellApp/LineLimitedLabel.h"

#include <QPainter>
#include <QTextLayout>

namespace tidewell {

LineLimitedLabel::LineLimitedLabel(const QString& text, int maximumLines, QWidget* parent)
    : ThemedText(text, parent), maximumLines_(qMax(1, maximumLines)) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void LineLimitedLabel::setMaximumLines(int lines) {
    maximumLines_ = qMax(1, lines);
    updateGeometry();
    update();
}

QStringList LineLimitedLabel::displayedLines(int width) const {
    if (width < 0) width = contentsRect().width();
    width = qMax(1, width);
    const QFontMetrics fm = fontMetrics();
    QStringList lines;
    // Hard line breaks start new lines; each paragraph wraps at word boundaries. The last
    // allowed line takes all that remains, elided.
    const QStringList paragraphs = text().split(QLatin1Char('\n'));
    auto finish = [&](qsizetype paragraph, int start) {
        QString rest = paragraphs[paragraph].mid(start);
        for (qsizetype q = paragraph + 1; q < paragraphs.size(); ++q) rest += QLatin1Char(' ') + paragraphs[q];
        lines << fm.elidedText(rest.trimmed(), Qt::ElideRight, width);
    };
    for (qsizetype p = 0; p < paragraphs.size(); ++p) {
        const QString& paragraph = paragraphs[p];
        if (int(lines.size()) == maximumLines_ - 1) {
            finish(p, 0);
            return lines;
        }
        QTextLayout layout(paragraph, font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        if (!line.isValid()) lines << QString();  // an empty paragraph
        while (line.isValid()) {
            line.setLineWidth(width);
            if (int(lines.size()) == maximumLines_ - 1) {
                const int start = line.textStart();
                layout.endLayout();
                finish(p, start);
                return lines;
            }
            lines << paragraph.mid(line.textStart(), line.textLength()).trimmed();
            line = layout.createLine();
        }
        layout.endLayout();
    }
    return lines;
}

bool LineLimitedLabel::isTruncated() const {
    return displayedLines().join(QLatin1Char(' ')).simplified() != text().simplified();
}

int LineLimitedLabel::heightForWidth(int width) const {
    const QMargins m = contentsMargins();
    const int lines = int(displayedLines(width - m.left() - m.right()).size());
    return lines * fontMetrics().lineSpacing() + m.top() + m.bottom();
}

QSize LineLimitedLabel::sizeHint() const {
    const QMargins m = contentsMargins();
    int widest = 0;
    for (const QString& paragraph : text().split(QLatin1Char('\n')))
        widest = qMax(widest, fontMetrics().horizontalAdvance(paragraph));
    // Prefer a moderate width; long texts wrap rather than widen the window.
    const int width = qMin(widest, 320) + m.left() + m.right();
    return QSize(width, heightForWidth(width));
}

QSize LineLimitedLabel::minimumSizeHint() const {
    const QMargins m = contentsMargins();
    return QSize(fontMetrics().horizontalAdvance(QStringLiteral("W\u2026")) + m.left() + m.right(),
                 fontMetrics().height() + m.top() + m.bottom());
}

void LineLimitedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(effectiveColor());
    const QRect area = contentsRect();
    const int spacing = fontMetrics().lineSpacing();
    int y = area.top();
    for (const QString& line : displayedLines()) {
        painter.drawText(QRect(area.left(), y, area.width(), spacing), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
        y += spacing;
    }
}

}  // namespace tidewell
