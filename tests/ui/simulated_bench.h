#pragma once

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdint>
#include <string>

namespace pelorus::testing {

// The FNV-1a digest the simulated device keeps over every byte it writes.
inline QString Digest(const std::string& bytes) {
  std::uint64_t digest = 14695981039346656037ULL;
  for (const char byte : bytes) {
    digest = (digest ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
  }
  return QStringLiteral("%1").arg(digest, 16, 16, QLatin1Char('0'));
}

// The simulated bench (pelorus-devsim) behind a link in a temporary folder, with a report.
class SimulatedBench {
 public:
  explicit SimulatedBench(const QTemporaryDir& dir)
      : link_(dir.filePath(QStringLiteral("bench"))),
        report_(dir.filePath(QStringLiteral("report.jsonl"))) {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  }
  ~SimulatedBench() { Stop(); }
  SimulatedBench(const SimulatedBench&) = delete;
  SimulatedBench& operator=(const SimulatedBench&) = delete;

  const QString& Link() const { return link_; }
  // Starts a simulator and waits for its port to appear.
  bool Start(const QStringList& options) {
    QFile::remove(report_);
    process_.start(QStringLiteral(PELORUS_DEVSIM),
                   QStringList{"--link", link_, "--report", report_, "--seed", "7"} + options);
    return process_.waitForStarted() &&
           QTest::qWaitFor([this] { return QFileInfo::exists(link_); }, 10000);
  }
  // Ends the simulator and returns the last event of its report, its summary.
  QJsonObject Stop() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      process_.waitForFinished(15000);
    }
    QFile file(report_);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll().trimmed().split('\n').last()).object();
  }

 private:
  QString link_;
  QString report_;
  QProcess process_;
};

}  // namespace pelorus::testing
