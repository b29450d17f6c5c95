#pragma once
// Starting one child program of the application (a diagnostic helper or the self-test) with its
// output collected, so that it cannot outlive the application.

#include <QProcess>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "TidewellApp/HelperProcessOutput.h"

namespace tidewell::ChildProcess {

using EndHandler = std::function<void(QProcess& child, const HelperProcessOutput& output)>;

// Starts `program` with no arguments and exactly `environment`, its standard output and error
// collected into a new HelperProcessOutput (standard input inherited when `inheritInput`). The
// child receives SIGTERM when the application dies, even by SIGKILL. `ended` runs once on the
// calling thread after the child has ended and everything it wrote has been collected.
//
// The process object has no parent and deletes itself after `ended`: dropping the last
// reference to a running child never kills it nor waits for it. Returns the child, or nullptr
// with `error` set when it could not be started.
QProcess* start(const QString& program, const QProcessEnvironment& environment, bool inheritInput,
                EndHandler ended, QString& error);

// How long a child asked to end may take before it is killed: the service gives its own
// helpers the same.
inline constexpr std::chrono::milliseconds stopGrace{3000};

// Asks the child to end (SIGTERM) and kills it (SIGKILL) when it is still running `grace`
// later, so one that ignores the request never runs on. Works on a child that the caller has
// already let go of: the kill is the child's own, and goes with its process object.
void stop(QProcess* child, std::chrono::milliseconds grace = stopGrace);

// The end of the application: asks every child in `children` that still runs to end, waits for
// them together at most `grace`, kills the rest and deletes every process object. It blocks:
// the delayed kill of stop() needs an event loop, which has ended by now, and the children's
// parent-death signal is SIGTERM too, which a child may ignore. The children's end handlers do
// not run. `children` is empty afterwards.
void endAll(std::vector<QPointer<QProcess>>& children, std::chrono::milliseconds grace = stopGrace);

}  // namespace tidewell::ChildProcess
