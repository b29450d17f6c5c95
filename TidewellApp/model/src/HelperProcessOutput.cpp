#include "TidewellApp/HelperProcessOutput.h"

#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace tidewell {
namespace {

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// How many bytes a character starting with this byte has; 1 for anything that cannot start one.
int sequenceLength(char c) {
  auto b = static_cast<unsigned char>(c);
  if (b >= 0xF0 && b <= 0xF4) return 4;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  return 1;
}

// Where the bytes stop being decodable now: the start of a character at the very end whose
// remaining bytes have not arrived yet, else the end.
qsizetype completeLength(const QByteArray& bytes) {
  qsizetype n = bytes.size();
  for (qsizetype back = 1; back <= 3 && back <= n; ++back) {
    char c = bytes[n - back];
    if (isContinuation(c)) continue;
    return sequenceLength(c) > back ? n - back : n;
  }
  return n;
}

QString decodeReplacingInvalid(QByteArrayView bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  return decoder.decode(bytes);
}

}  // namespace

void HelperProcessOutput::append(Stream stream, QByteArrayView data) {
  if (data.isEmpty()) return;
  QMutexLocker locker(&lock_);
  QByteArray& pending = pending_[static_cast<int>(stream)];
  pending.append(data);
  qsizetype complete = completeLength(pending);
  if (complete == 0) return;
  QString decoded = decodeReplacingInvalid(QByteArrayView(pending).first(complete));
  pending.remove(0, complete);
  appendDecoded(decoded);
}

void HelperProcessOutput::finish(Stream stream) {
  QMutexLocker locker(&lock_);
  QByteArray& pending = pending_[static_cast<int>(stream)];
  if (pending.isEmpty()) return;
  QString decoded = decodeReplacingInvalid(pending);  // one U+FFFD per byte, as inside a read
  pending.clear();
  appendDecoded(decoded);
}

namespace {

// The last `maximumCharacters` clusters of the text.
QString lastCharacters(const QString& text) {
  // A cluster is at least one code unit, so a text this short cannot be over the limit.
  if (text.size() <= HelperProcessOutput::maximumCharacters) return text;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  finder.toEnd();
  for (qsizetype kept = 0; kept < HelperProcessOutput::maximumCharacters; ++kept)
    if (finder.toPreviousBoundary() <= 0) return text;
  return text.sliced(finder.position());
}

}  // namespace

// Called with the lock held. Finding cluster boundaries costs a pass over the whole text, so
// the text is cut back only once as much again has arrived as the cut left; every reader
// sees the exact last 12000 characters (text() cuts its copy).
void HelperProcessOutput::appendDecoded(const QString& decoded) {
  text_ += decoded;
  if (text_.size() - sizeAfterCut_ <= maximumCharacters) return;
  text_ = lastCharacters(text_);
  sizeAfterCut_ = text_.size();
}

QString HelperProcessOutput::text() const {
  QString copy;
  {
    QMutexLocker locker(&lock_);
    // A copy of its own: a shared one would be freed by whichever thread lets go of it last.
    copy = QString(text_.constData(), text_.size());
  }
  return lastCharacters(copy);
}

QStringList HelperProcessOutput::lines() const {
  static const QRegularExpression lineEnd(QStringLiteral("[\\n\\x{000B}\\f\\r\\x{0085}\\x{2028}\\x{2029}]"));
  QStringList result;
  for (const QString& piece : text().split(lineEnd, Qt::SkipEmptyParts)) {
    QString line = piece.trimmed();
    if (!line.isEmpty()) result.append(line);
  }
  return result;
}

QString HelperProcessOutput::lastUsefulLine(const QString& fallback) const {
  QStringList all = lines();
  return all.isEmpty() ? fallback : all.last();
}

std::optional<QString> HelperProcessOutput::firstLine(const QString& needle) const {
  for (const QString& line : lines())
    if (line.contains(needle, Qt::CaseSensitive)) return line;
  return std::nullopt;
}

}  // namespace tidewell
