#pragma once
// Text that comes from outside the application (names other programs and devices chose,
// helper output, launchctl output, folder names) shown exactly as it is. Qt reads a label or a
// tooltip as rich text when its start looks like markup: a name such as `<img src=...>` would
// load a file, and `<b>x</b>` would lose its brackets. Labels get Qt::PlainText; tooltips
// cannot be told their format, so these give them a text Qt shows literally.

#include <QString>

namespace tidewell {

// The tooltip that shows `text` literally: `text` itself when Qt would read it as plain text,
// else the text escaped inside markup of our own that keeps its spaces and line breaks.
QString plainToolTip(const QString& text);

// The menu or button text that shows `text` literally: each '&' doubled, so none becomes a
// keyboard mnemonic.
QString plainMenuText(const QString& text);

}  // namespace tidewell
