#include "devsim_process.h"

#include <cstdio>

namespace pelorus::bench {
namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 15000;

}  // namespace

DevsimProcess::DevsimProcess() : link_(dir_.filePath(QStringLiteral("COM1"))) {
  qputenv("PELORUS_COM1", link_.toLocal8Bit());
}

DevsimProcess::~DevsimProcess() {
  Stop();
}

bool DevsimProcess::Start(const QStringList& options) {
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start(QStringLiteral(PELORUS_DEVSIM), QStringList{"--link", link_} + options);
  // The first line ("pty /dev/pts/N") comes once the link is in place.
  if (!process_.waitForStarted(kStartTimeoutMs) || !process_.waitForReadyRead(kStartTimeoutMs) ||
      !process_.readLine().startsWith("pty ")) {
    std::fprintf(stderr, "bench: pelorus-devsim did not start (%s)\n",
                 qPrintable(process_.errorString()));
    return false;
  }
  return true;
}

int DevsimProcess::Stop() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    process_.waitForFinished(kStopTimeoutMs);
  }
  return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

}  // namespace pelorus::bench
