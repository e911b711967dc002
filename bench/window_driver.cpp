#include "window_driver.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <string>

#include "result_table.h"

namespace pelorus::bench {

int WindowDriver::Main(int argc, char** argv, int (*run)()) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  return run();
}

WindowDriver::WindowDriver(std::unique_ptr<RunStation> station) : pool_(station != nullptr) {
  window_ = std::make_unique<CPELORUSDlg>(std::move(station));
  window_->show();
  shown_ = QTest::qWaitForWindowExposed(window_.get());
}

void WindowDriver::TypeAddress(const QString& address) {
  const QStringList octets = address.split(':');
  for (int k = 1; k <= 6 && k <= octets.size(); ++k) {
    auto* box = window_->findChild<QLineEdit*>(QStringLiteral("IDC_OCTET%1").arg(k));
    QTest::keyClicks(box, octets[k - 1]);
  }
}

bool WindowDriver::PrepareRun() {
  if (!shown_) {
    return false;
  }
  if (!pool_) {
    TypeAddress(QStringLiteral("00:1A:2B:3C:4D:5E"));
  }
  auto* list = window_->findChild<QComboBox*>(QStringLiteral("IDC_PORT"));
  list->setCurrentIndex(list->findText(QStringLiteral(" COM-1 "), Qt::MatchExactly));
  return true;
}

bool WindowDriver::PressStart(const char* bench) {
  Click("IDC_START");
  if (!QTest::qWaitFor([this] { return window_->IsPortOpen(); }, 10000)) {
    PrintDetail(std::string(bench) + ": START did not open the port");
    return false;
  }
  return true;
}

void WindowDriver::PressEnd() {
  Click("IDC_END");
}

void WindowDriver::Click(const char* id) {
  window_->findChild<QPushButton*>(QString::fromLatin1(id))->click();
}

}  // namespace pelorus::bench
