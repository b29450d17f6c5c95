#include "TidewellApp/PlainText.h"

#include <QTextDocument>

namespace tidewell {

QString plainToolTip(const QString& text) {
  // The same test the tooltip applies: what it would show as plain text stays as it is.
  if (!Qt::mightBeRichText(text)) return text;
  QString escaped = text.toHtmlEscaped();
  escaped.replace(QLatin1Char('\n'), QLatin1String("<br>"));
  return QLatin1String("<p style=\"white-space:pre\">") + escaped + QLatin1String("</p>");
}

QString plainMenuText(const QString& text) {
  QString escaped = text;
  escaped.replace(QLatin1Char('&'), QLatin1String("&&"));
  return escaped;
}

}  // namespace tidewell
