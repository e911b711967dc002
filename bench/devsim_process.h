#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace pelorus::bench {

// pelorus-devsim behind a link in a temporary folder, with PELORUS_COM1 naming the link so
// that the window's " COM-1 " reaches the simulated device.
class DevsimProcess {
 public:
  DevsimProcess();
  ~DevsimProcess();
  DevsimProcess(const DevsimProcess&) = delete;
  DevsimProcess& operator=(const DevsimProcess&) = delete;

  // Starts the simulator with options after --link and waits until its pseudo-terminal and
  // link exist; false (with the reason on stderr) otherwise.
  bool Start(const QStringList& options);
  // Asks the simulator to stop and waits for it; returns its exit status (-1 if it crashed).
  int Stop();
  QProcess& process() { return process_; }
  const QString& link() const { return link_; }

 private:
  QTemporaryDir dir_;
  QString link_;
  QProcess process_;
};

}  // namespace pelorus::bench
