#pragma once
// Shared by the widget tests: one offscreen QApplication per test program (Fusion style),
// the scheme switch, and the folder that receives the grabs.

#include "TidewellApp/ColorScheme.h"

#include <QImage>
#include <QString>

class QLabel;
class QWidget;

namespace tidewell::test {

// Forces the scheme (and its palette) for what follows.
void useScheme(ColorScheme scheme);
QString schemeName(ColorScheme scheme);

// The build's test-artifacts/ folder (created on first use).
QString artifactsFolder();
// Writes `image` as <name>.png into the artifacts folder and returns the path.
QString saveArtifact(const QImage& image, const QString& name);
// Shows the widget offscreen, waits until it is exposed and grabs it.
QImage grabShown(QWidget& widget);

// Fills the widget with the scheme's window background and gives its text the primary colour.
void fillWithBackground(QWidget& widget, ColorScheme scheme);

// The fraction of pixels with any opacity.
double coverage(const QImage& image);

// The text a person reads in the label, or in the widget's tooltip: the text itself when Qt
// shows it as plain text, else what its markup renders to (an image as U+FFFC).
QString shownText(const QLabel& label);
QString shownToolTip(const QWidget& widget);

}  // namespace tidewell::test
