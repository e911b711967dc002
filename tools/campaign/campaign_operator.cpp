#include "campaign_operator.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>

#include "ui/msg.h"

namespace pelorus::campaign {
namespace {

void Say(const QString& line) {
  QString flat = line;
  flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
  std::printf("%s\n", flat.toLocal8Bit().constData());
  std::fflush(stdout);
}

QWidget* MainWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == QLatin1String("IDD_MAIN") && widget->isVisible()) {
      return widget;
    }
  }
  return nullptr;
}

QAbstractButton* Button(QWidget* window, const char* name) {
  return window->findChild<QAbstractButton*>(QString::fromLatin1(name));
}

}  // namespace

CampaignOperator::CampaignOperator(QString entry)
    : entry_(std::move(entry)),
      commands_(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this)) {
  qApp->installEventFilter(this);
  connect(commands_, &QSocketNotifier::activated, this, [this] { ReadCommands(); });
}

CampaignOperator::~CampaignOperator() {
  qApp->removeEventFilter(this);
}

bool CampaignOperator::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Show) {
    return false;
  }
  const bool banner = watched->objectName() == QLatin1String("IDD_BANNER");
  if (banner || qobject_cast<QMessageBox*>(watched) != nullptr) {
    // The dialog's own event loop has to be running before it can be closed.
    QPointer<QDialog> dialog = static_cast<QDialog*>(watched);
    QTimer::singleShot(0, this, [this, dialog] {
      if (dialog) {
        Close(dialog);
      }
    });
  }
  return false;
}

void CampaignOperator::Close(QDialog* dialog) {
  if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
    Say(QStringLiteral("MESSAGE ") + box->text() + QStringLiteral(" | ") + box->informativeText());
    const auto buttons = box->buttons();
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    (ok != nullptr ? ok : buttons.front())->click();
    return;
  }
  if (auto* banner = qobject_cast<CMSG*>(dialog)) {
    Say(QStringLiteral("BANNER ") + banner->Text());
  }
  Button(dialog, "IDC_BANNER_OK")->click();
}

void CampaignOperator::ReadCommands() {
  char buffer[256];
  const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
  if (n <= 0) {
    commands_->setEnabled(false);
    Obey(QStringLiteral("end"));
    return;
  }
  pending_.append(buffer, static_cast<int>(n));
  for (int eol = pending_.indexOf('\n'); eol >= 0; eol = pending_.indexOf('\n')) {
    const QString command = QString::fromLatin1(pending_.left(eol)).trimmed();
    pending_.remove(0, eol + 1);
    Obey(command);
  }
}

// A command that comes before the window is up waits for it.
void CampaignOperator::Obey(const QString& command) {
  QWidget* window = MainWindow();
  if (window == nullptr) {
    QTimer::singleShot(100, this, [this, command] { Obey(command); });
    return;
  }
  if (command == QLatin1String("start")) {
    QAbstractButton* start = Button(window, "IDC_START");
    if (!start->isEnabled()) {
      return;
    }
    auto* port = window->findChild<QComboBox*>(QStringLiteral("IDC_PORT"));
    port->setCurrentIndex(port->findText(entry_));
    start->click();
  } else if (command == QLatin1String("reset")) {
    Button(window, "IDC_RESET")->click();
  } else if (command == QLatin1String("end")) {
    Button(window, "IDC_END")->click();
  }
}

}  // namespace pelorus::campaign
