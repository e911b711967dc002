#include "modal_closer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include "result_table.h"
#include "ui/msg.h"

namespace pelorus::bench {

ModalCloser::ModalCloser(std::function<void()> on_banner) : on_banner_(std::move(on_banner)) {
  qApp->installEventFilter(this);
}

ModalCloser::~ModalCloser() {
  qApp->removeEventFilter(this);
}

bool ModalCloser::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Show) {
    return false;
  }
  const bool banner = qobject_cast<CMSG*>(watched) != nullptr;
  if (banner || qobject_cast<QMessageBox*>(watched) != nullptr) {
    if (banner && on_banner_) {
      on_banner_();
    }
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

void ModalCloser::Close(QDialog* dialog) {
  if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
    PrintDetail("message box: " + box->text().toStdString());
    box->button(QMessageBox::Ok)->click();
    return;
  }
  dialog->findChild<QAbstractButton*>(QStringLiteral("IDC_BANNER_OK"))->click();
}

}  // namespace pelorus::bench
