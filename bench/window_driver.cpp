#include "window_driver.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTest>

namespace pelorus::bench {

void WindowDriver::UseOffscreenByDefault() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
}

WindowDriver::WindowDriver() : window_(std::make_unique<CPELORUSDlg>()) {
  // The message boxes take their caption from the application's name, as in the program.
  QCoreApplication::setApplicationName(QStringLiteral("pelorus"));
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

void WindowDriver::SelectPort(const QString& entry) {
  auto* list = window_->findChild<QComboBox*>(QStringLiteral("IDC_PORT"));
  list->setCurrentIndex(list->findText(entry, Qt::MatchExactly));
}

bool WindowDriver::PressStart() {
  Click("IDC_START");
  return window_->IsPortOpen();
}

void WindowDriver::PressEnd() {
  Click("IDC_END");
}

void WindowDriver::Click(const char* id) {
  window_->findChild<QPushButton*>(QString::fromLatin1(id))->click();
}

}  // namespace pelorus::bench
