// What the main window does with the keys that mean "go" and "stop".
#include <QKeyEvent>
#include <algorithm>

#include "ui/pelorus_dlg.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {

void CPELORUSDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (StartsOnEnter()) {
        ui_->IDC_START->click();
      }
      break;
    case Qt::Key_Escape:
      OnEscape();
      break;
    default:
      QDialog::keyPressEvent(event);
      return;
  }
  event->accept();
}

// Enter is the operator's "go" after typing the address, and nothing else: it never steps
// the address, ends a run or closes the window.
bool CPELORUSDlg::StartsOnEnter() const {
  const QWidget* focus = focusWidget();
  return ui_->IDC_START->isEnabled() &&
         (focus == ui_->IDC_START ||
          std::find(octet_boxes_.begin(), octet_boxes_.end(), focus) != octet_boxes_.end());
}

// A stray Escape (one too many after closing a banner) must not end a run behind the
// operator's back: while a run is on, it asks first.
void CPELORUSDlg::OnEscape() {
  if (!running_) {
    reject();
    return;
  }
  MessageBox(QStringLiteral("End the run and close PELORUS?"), kCaption, QMessageBox::Question, {},
             QMessageBox::Yes | QMessageBox::No, [this](int answer) {
               if (answer == QMessageBox::Yes) {
                 reject();
               }
             });
}

}  // namespace pelorus
