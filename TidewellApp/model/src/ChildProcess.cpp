#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <unistd.h>

#include <algorithm>

#include "TidewellCore/ProcessSpawn.h"

namespace tidewell::ChildProcess {

QProcess* start(const QString& program, const QProcessEnvironment& environment, bool inheritInput,
                EndHandler ended, QString& error) {
  auto* child = new QProcess();
  auto output = std::make_shared<HelperProcessOutput>();
  child->setProgram(program);
  child->setProcessEnvironment(environment);
  if (inheritInput) child->setInputChannelMode(QProcess::ForwardedInputChannel);
  // The death signal belongs to the forking thread: children are started on the main thread,
  // which lives as long as the application.
  const pid_t starter = ::getpid();
  child->setChildProcessModifier([starter] {
    if (ProcessSpawn::prepareChild(starter) != 0) ::_exit(127);
  });
  using Stream = HelperProcessOutput::Stream;
  QObject::connect(child, &QProcess::readyReadStandardOutput, child, [child, output] {
    output->append(Stream::standardOutput, child->readAllStandardOutput());
  });
  QObject::connect(child, &QProcess::readyReadStandardError, child, [child, output] {
    output->append(Stream::standardError, child->readAllStandardError());
  });
  QObject::connect(child, &QProcess::finished, child, [child, output, ended = std::move(ended)] {
    output->append(Stream::standardOutput, child->readAllStandardOutput());
    output->append(Stream::standardError, child->readAllStandardError());
    output->finish(Stream::standardOutput);
    output->finish(Stream::standardError);
    ended(*child, *output);
    child->deleteLater();
  });
  child->start(QIODevice::ReadOnly);
  if (!child->waitForStarted(-1)) {
    error = child->errorString();
    delete child;  // never started: nothing to kill or wait for
    return nullptr;
  }
  return child;
}

void stop(QProcess* child, std::chrono::milliseconds grace) {
  if (!child) return;
  child->terminate();
  QTimer::singleShot(grace, child, [child] {
    if (child->state() != QProcess::NotRunning) child->kill();
  });
}

void endAll(std::vector<QPointer<QProcess>>& children, std::chrono::milliseconds grace) {
  std::vector<QProcess*> running;
  for (const QPointer<QProcess>& child : children) {
    if (!child) continue;
    // Nothing may report to an owner that is going away.
    QObject::disconnect(child, nullptr, nullptr, nullptr);
    if (child->state() != QProcess::NotRunning) child->terminate();
    running.push_back(child);
  }
  children.clear();
  const QDeadlineTimer deadline(grace);
  for (QProcess* child : running) {
    if (child->state() != QProcess::NotRunning)
      child->waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 0)));
  }
  for (QProcess* child : running) {
    if (child->state() != QProcess::NotRunning) {
      child->kill();
      child->waitForFinished(1000);
    }
    delete child;
  }
}

}  // namespace tidewell::ChildProcess
