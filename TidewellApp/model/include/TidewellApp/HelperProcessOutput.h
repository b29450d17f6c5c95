#pragma once
// What a child process started by the application writes on its standard output and error,
// kept as one text in the order the chunks arrive, bounded to its last 12000 user-perceived
// characters (grapheme clusters; memory stays below about twice that). Each stream has its own UTF-8 decoder: a read that ends
// inside a character keeps the incomplete bytes for the stream's next read, and invalid bytes
// become U+FFFD, so nothing the child wrote is lost. Safe to feed from the threads that read
// the pipes while another thread asks for lines.

#include <QByteArrayView>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <optional>

namespace tidewell {

class HelperProcessOutput final {
 public:
  enum class Stream { standardOutput, standardError };
  static constexpr qsizetype maximumCharacters = 12000;

  // Adds a chunk read from one stream. An empty chunk changes nothing.
  void append(Stream stream, QByteArrayView data);
  // The stream reached its end: bytes still waiting for the rest of a character become U+FFFD.
  void finish(Stream stream);

  // The collected text.
  QString text() const;
  // The text split at every line end (LF, VT, FF, CR, U+0085, U+2028, U+2029), each piece
  // trimmed of white space, empty pieces dropped, in order.
  QStringList lines() const;
  // The last of lines(), or fallback when there is none.
  QString lastUsefulLine(const QString& fallback) const;
  // The first of lines() that contains `needle` (case-sensitive), whole.
  std::optional<QString> firstLine(const QString& needle) const;

 private:
  void appendDecoded(const QString& decoded);

  mutable QMutex lock_;
  QString text_;
  qsizetype sizeAfterCut_ = 0;
  QByteArray pending_[2];  // per stream: the start of a character whose rest has not arrived
};

}  // namespace tidewell
