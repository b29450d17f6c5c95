// HelperProcessOutput: reads split inside characters, invalid bytes, line ends and the cap.
#include <TidewellApp/HelperProcessOutput.h>

#include <QTextBoundaryFinder>

#include <gtest/gtest.h>

#include <thread>

using namespace tidewell;
using Stream = HelperProcessOutput::Stream;

namespace {

const QChar kReplacement(0xFFFD);

qsizetype graphemes(const QString& text) {
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  qsizetype n = 0;
  while (finder.toNextBoundary() > 0) ++n;
  return n;
}

}  // namespace

TEST(HelperProcessOutput, AReadSplitInsideACharacterLosesNothing) {
  const QByteArray bytes = QString::fromUtf8("a é € 😀 end\n").toUtf8();
  // Every way of cutting the text into two reads, and one read per byte.
  for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
    HelperProcessOutput output;
    output.append(Stream::standardOutput, QByteArrayView(bytes).first(cut));
    output.append(Stream::standardOutput, QByteArrayView(bytes).sliced(cut));
    EXPECT_EQ(output.text(), QString::fromUtf8(bytes)) << "cut at " << cut;
  }
  HelperProcessOutput bytewise;
  for (char c : bytes) bytewise.append(Stream::standardError, QByteArrayView(&c, 1));
  EXPECT_EQ(bytewise.text(), QString::fromUtf8(bytes));

  // Each stream completes its own characters; the other stream's chunk in between is not mixed in.
  HelperProcessOutput both;
  both.append(Stream::standardOutput, "caf\xC3");
  both.append(Stream::standardError, "warn\xE2\x82");
  both.append(Stream::standardOutput, "\xA9\n");
  both.append(Stream::standardError, "\xAC\n");
  EXPECT_EQ(both.text(), QString::fromUtf8("cafwarné\n€\n"));
}

// One replacement character per byte that is not part of a valid character.
TEST(HelperProcessOutput, InvalidBytesBecomeReplacementCharacters) {
  HelperProcessOutput output;
  output.append(Stream::standardOutput, "a\xFF" "b\n");
  EXPECT_EQ(output.text(), QString("a") + kReplacement + "b\n");
  // A character cut short by the next one, and one cut short by the end of the stream.
  output.append(Stream::standardOutput, "c\xE2\x82" "d\n");
  EXPECT_EQ(output.lastUsefulLine("none"), QString("c") + kReplacement + kReplacement + "d");
  output.append(Stream::standardError, "error: bad \xF0\x9F\x98");
  EXPECT_EQ(output.lastUsefulLine("none"), "error: bad");
  output.finish(Stream::standardError);
  output.finish(Stream::standardError);
  EXPECT_EQ(output.lastUsefulLine("none"), QString("error: bad ") + QString(3, kReplacement));
}

TEST(HelperProcessOutput, EveryLineEndSeparatesLinesAndBlankLinesDrop) {
  HelperProcessOutput output;
  output.append(Stream::standardOutput,
                QString::fromUtf8("1\n2\v3\f4\r5\u00856\u20287\u20298\r\n  \n\t9 \r\n").toUtf8());
  EXPECT_EQ(output.lines(), (QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9"}));

  HelperProcessOutput spaced;
  spaced.append(Stream::standardOutput, "a\n\n  b  \r\n");
  EXPECT_EQ(spaced.lines(), (QStringList{"a", "b"}));
  EXPECT_EQ(spaced.lastUsefulLine("fallback"), "b");

  // Progress rewritten in place gives one line per rewrite.
  HelperProcessOutput progress;
  progress.append(Stream::standardError, "10%\r50%\r100%\r");
  EXPECT_EQ(progress.lines(), (QStringList{"10%", "50%", "100%"}));

  HelperProcessOutput blank;
  EXPECT_EQ(blank.lastUsefulLine("fallback"), "fallback");
  blank.append(Stream::standardOutput, "\n \r\n\t\n");
  blank.append(Stream::standardOutput, "");
  EXPECT_EQ(blank.lines(), QStringList{});
  EXPECT_EQ(blank.lastUsefulLine(" keep as is "), " keep as is ");
  EXPECT_EQ(blank.firstLine("x"), std::nullopt);
}

TEST(HelperProcessOutput, FirstLineFindsTheWholeLineContainingTheText) {
  HelperProcessOutput output;
  output.append(Stream::standardOutput, "Playing tone\n  Result: Captured RMS: -20.1 dBFS  \nCaptured RMS: again\n");
  EXPECT_EQ(output.firstLine("Captured RMS:"), "Result: Captured RMS: -20.1 dBFS");
  EXPECT_EQ(output.firstLine("captured rms:"), std::nullopt);
}

TEST(HelperProcessOutput, KeepsTheLast12000CharactersWithoutSplittingOne) {
  HelperProcessOutput output;
  output.append(Stream::standardOutput, QByteArray(11999, 'x'));
  output.append(Stream::standardOutput, "e\xCC\x81");  // e and a combining accent: one character
  EXPECT_EQ(output.text().size(), 12001);
  EXPECT_EQ(graphemes(output.text()), 12000);
  output.append(Stream::standardOutput, "!");
  EXPECT_EQ(graphemes(output.text()), 12000);
  EXPECT_EQ(output.text(), QString(11998, 'x') + QString::fromUtf8("e\u0301!"));

  // Flags are two code points (four code units) each; the front never keeps half of one.
  const QByteArray flag = QString::fromUtf8("🇩🇪").toUtf8();
  HelperProcessOutput flags;
  for (int i = 0; i < 12001; ++i) flags.append(Stream::standardOutput, flag);
  EXPECT_EQ(flags.text().size(), 48000);
  EXPECT_TRUE(flags.text().startsWith(QString::fromUtf8("🇩🇪")));
  EXPECT_EQ(graphemes(flags.text()), 12000);

  // However much comes first, the error line written last survives.
  HelperProcessOutput chatty;
  for (int i = 0; i < 2000; ++i) chatty.append(Stream::standardOutput, "frame processed without trouble\n");
  chatty.append(Stream::standardError, "error: device vanished\n");
  EXPECT_LE(chatty.text().size(), 12000);
  EXPECT_EQ(chatty.lastUsefulLine("none"), "error: device vanished");
}

TEST(HelperProcessOutput, TwoReadersAppendWhileLinesAreAsked) {
  HelperProcessOutput output;
  auto writer = [&](Stream stream, char letter) {
    for (int i = 0; i < 2000; ++i) output.append(stream, QByteArray(5, letter) + "\n");
  };
  std::thread out(writer, Stream::standardOutput, 'o');
  std::thread err(writer, Stream::standardError, 'e');
  for (int i = 0; i < 50; ++i) output.lines();
  out.join();
  err.join();
  EXPECT_EQ(output.text().size(), 12000);
  for (const QString& line : output.lines()) EXPECT_TRUE(line == "ooooo" || line == "eeeee") << line.toStdString();
}
