#include "campaign_operator.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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

// The label has no signal for a new text, and the window sets it from its run's news; a
// glance every 50 ms is how an operator would notice it.
constexpr int kStatusGlanceMs = 50;

}  // namespace

CampaignOperator::CampaignOperator(QString entry)
    : entry_(std::move(entry)),
      commands_(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this)),
      status_poll_(new QTimer(this)) {
  qApp->installEventFilter(this);
  connect(commands_, &QSocketNotifier::activated, this, [this] { ReadCommands(); });
  connect(status_poll_, &QTimer::timeout, this, [this] { WatchStatus(); });
  status_poll_->start(kStatusGlanceMs);
}

CampaignOperator::~CampaignOperator() {
  qApp->removeEventFilter(this);
}

bool CampaignOperator::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Show) {
    return false;
  }
  if (watched->objectName() == QLatin1String("IDD_MAIN") && !ready_) {
    ready_ = true;
    Say(QStringLiteral("READY"));
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
  if (hold_banner_) {
    hold_banner_ = false;
    held_banner_ = dialog;
    return;
  }
  Button(dialog, "IDC_BANNER_OK")->click();
}

void CampaignOperator::PressStart() {
  QWidget* window = MainWindow();
  QAbstractButton* start = window != nullptr ? Button(window, "IDC_START") : nullptr;
  if (!start_pending_ || start == nullptr || !start->isEnabled()) {
    return;
  }
  start_pending_ = false;
  auto* port = window->findChild<QComboBox*>(QStringLiteral("IDC_PORT"));
  port->setCurrentIndex(port->findText(entry_));
  start->click();
  Say(QStringLiteral("STARTED"));
}

void CampaignOperator::WatchStatus() {
  PressStart();
  QWidget* window = MainWindow();
  auto* label =
      window != nullptr ? window->findChild<QLabel*>(QStringLiteral("IDC_PORT_STATUS")) : nullptr;
  const QString shown = label != nullptr && label->isVisible() ? label->text() : QString();
  if (shown != status_) {
    status_ = shown;
    Say(QStringLiteral("STATUS ") + shown);
  }
  QStringList octets;
  for (int k = 1; window != nullptr && k <= 6; ++k) {
    auto* box = window->findChild<QLineEdit*>(QStringLiteral("IDC_OCTET%1").arg(k));
    octets << (box != nullptr ? box->text() : QString());
  }
  const QString address = octets.join(QLatin1Char(':'));
  if (address.size() == 17 && address != address_) {
    address_ = address;
    Say(QStringLiteral("ADDRESS ") + address);
  }
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
    start_pending_ = true;
    PressStart();
  } else if (command == QLatin1String("reset")) {
    Button(window, "IDC_RESET")->click();
  } else if (command == QLatin1String("end")) {
    Button(window, "IDC_END")->click();
  } else if (command == QLatin1String("hold-banner")) {
    hold_banner_ = true;
  } else if (command == QLatin1String("close")) {
    hold_banner_ = false;
    if (held_banner_) {
      Button(held_banner_, "IDC_BANNER_OK")->click();
    }
  }
}

}  // namespace pelorus::campaign
