#pragma once

#include <QObject>
#include <functional>

class QDialog;

namespace pelorus::bench {

// Plays an operator who closes every result banner and message box as soon as it is on
// screen, so that a run never stands waiting for a person. on_banner runs when a banner
// appears, before it is closed; a message box's text is printed as a detail.
class ModalCloser : public QObject {
 public:
  explicit ModalCloser(std::function<void()> on_banner = {});
  ~ModalCloser() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Close(QDialog* dialog);

  std::function<void()> on_banner_;
};

}  // namespace pelorus::bench
