#include "TidewellApp/PathLabel.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

#include "TidewellApp/PlainText.h"

namespace tidewell {

namespace {

// How many characters of `text`, from its start, fit in `width`.
qsizetype fittingPrefix(const QString& text, const QFontMetrics& metrics, int width) {
    qsizetype fit = 0;
    while (fit < text.size() && metrics.horizontalAdvance(text.left(fit + 1)) <= width) ++fit;
    return fit;
}

}  // namespace

PathLabel::PathLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void PathLabel::setPath(const QString& path) {
    path_ = path;
    setToolTip(plainToolTip(path));
    relayOut();
}

QString PathLabel::layOut(const QString& path, const QFontMetrics& metrics, int width, bool* shortened) {
    if (shortened) *shortened = false;
    width = qMax(1, width);
    if (metrics.horizontalAdvance(path) <= width) return path;
    // The first line takes what fits; a path has no spaces to break at, so it breaks anywhere.
    const qsizetype first = qMax<qsizetype>(1, fittingPrefix(path, metrics, width));
    const QString rest = path.mid(first);
    if (metrics.horizontalAdvance(rest) <= width) return path.left(first) + QLatin1Char('\n') + rest;
    if (shortened) *shortened = true;
    // The end is what tells one file from another: the second line keeps it.
    return path.left(first) + QLatin1Char('\n') + metrics.elidedText(rest, Qt::ElideLeft, width);
}

void PathLabel::relayOut() {
    setText(layOut(path_, fontMetrics(), contentsRect().width(), &shortened_));
}

bool PathLabel::hasHeightForWidth() const { return true; }

int PathLabel::heightForWidth(int width) const {
    const QMargins m = contentsMargins();
    const int lines = int(layOut(path_, fontMetrics(), width - m.left() - m.right()).count(QLatin1Char('\n'))) + 1;
    return lines * fontMetrics().lineSpacing() + m.top() + m.bottom();
}

QSize PathLabel::sizeHint() const {
    const QMargins m = contentsMargins();
    const int width = qMin(fontMetrics().horizontalAdvance(path_), 320) + m.left() + m.right();
    return QSize(width, heightForWidth(width));
}

QSize PathLabel::minimumSizeHint() const {
    const QMargins m = contentsMargins();
    return QSize(fontMetrics().horizontalAdvance(QStringLiteral("W\u2026")) + m.left() + m.right(),
                 fontMetrics().lineSpacing() + m.top() + m.bottom());
}

void PathLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    const QString before = text();
    relayOut();
    if (text().count(QLatin1Char('\n')) != before.count(QLatin1Char('\n'))) updateGeometry();
}

void PathLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) relayOut();
}

void PathLabel::copyWhole() {
    QApplication::clipboard()->setText(path_);
}

void PathLabel::keyPressEvent(QKeyEvent* event) {
    // What is shown may lack the middle, or hold a line break the path does not have.
    if (event->matches(QKeySequence::Copy) && hasSelectedText()) {
        copyWhole();
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

void PathLabel::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("Copy"), this, &PathLabel::copyWhole);
    menu.exec(event->globalPos());
}

}  // namespace tidewell
