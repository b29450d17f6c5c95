// A helper's standard output and error as the application collects them and makes its
// status texts from them. The input is cut into chunks, each read from one of the two
// streams: a control byte picks the stream (lowest bit) and the chunk's length (the rest),
// then come the chunk's bytes. The first byte also says how many times the whole input
// arrives, so the text passes its 12000-character bound.
#include "TidewellApp/HelperLaunch.h"
#include "TidewellApp/HelperProcessOutput.h"

#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>

using tidewell::HelperKind;
using tidewell::HelperProcessOutput;

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "helper output: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int rounds = 1 + (data[0] & 7);
    HelperProcessOutput output;
    for (int round = 0; round < rounds; ++round) {
        size_t at = 1;
        while (at < size) {
            const uint8_t control = data[at++];
            const auto stream = (control & 1) ? HelperProcessOutput::Stream::standardError
                                              : HelperProcessOutput::Stream::standardOutput;
            size_t length = (control >> 1) + 1u;
            if (length > size - at) length = size - at;
            output.append(stream, QByteArrayView(reinterpret_cast<const char*>(data + at), qsizetype(length)));
            at += length;
        }
    }
    output.finish(HelperProcessOutput::Stream::standardOutput);
    output.finish(HelperProcessOutput::Stream::standardError);

    static const QRegularExpression lineEnd(QStringLiteral("[\\n\\x{000B}\\f\\r\\x{0085}\\x{2028}\\x{2029}]"));
    const QStringList lines = output.lines();
    for (const QString& line : lines) {
        if (line.isEmpty() || line != line.trimmed()) Fail("a line is empty or not trimmed");
        if (line.contains(lineEnd)) Fail("a line holds a line end");
    }
    const QString fallback = QStringLiteral("exit 1");
    if (output.lastUsefulLine(fallback) != (lines.isEmpty() ? fallback : lines.last())) Fail("wrong last line");

    for (HelperKind kind : {HelperKind::monitor, HelperKind::hardwareSource, HelperKind::processTap}) {
        (void)tidewell::HelperLaunch::helperEndStatus(kind, false, QProcess::NormalExit, 1, output);
        (void)tidewell::HelperLaunch::helperEndStatus(kind, true, QProcess::CrashExit, 9, output);
    }
    (void)tidewell::HelperLaunch::passThruTestTerminationMessage(QProcess::NormalExit, 0, output);
    (void)tidewell::HelperLaunch::passThruTestTerminationMessage(QProcess::CrashExit, 11, output);
    return 0;
}
