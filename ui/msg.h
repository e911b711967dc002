#pragma once

#include <QDialog>
#include <QFont>
#include <QString>
#include <memory>
#include <string>

namespace Ui {
class CMSG;
}

namespace pelorus {

// The result banner (IDD_BANNER): a modal dialog that shows its message in very large
// letters, red once an alert has been set, black before. The main window owns one for its
// whole life and shows it after every device that was written and read back correctly.
class CMSG : public QDialog {
  Q_OBJECT

 public:
  explicit CMSG(QWidget* parent = nullptr);
  ~CMSG() override;

  // Takes text (8-bit, shown as Latin-1) as the first line and turns the text red; it stays
  // red for the rest of the banner's life.
  void SetAlert(const std::string& text);
  // Shows the banner modal to its window and returns at once; closing it (OK, Escape) emits
  // finished().
  void DoModal();

  // What the banner paints: the first line, a line break, three blanks and the second line.
  QString Text() const;
  bool IsAlert() const { return alert_ == 1; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void OnPaint();

  std::unique_ptr<Ui::CMSG> ui_;
  int alert_ = 0;
  std::string first_line_;
  std::string second_line_;  // never set: the banner keeps it empty
  QFont font_;
};

}  // namespace pelorus
