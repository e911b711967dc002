#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <string>

#include "ui/msg.h"

namespace pelorus::testing {

// A pseudo-terminal that plays a port: the window opens the slave by its path, the test is
// the device on the master, which it keeps for the whole test (closing it is a hang-up).
class PtyPair {
 public:
  PtyPair() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
      path_ = name;
      termios raw{};
      tcgetattr(master_, &raw);
      cfmakeraw(&raw);
      tcsetattr(master_, TCSANOW, &raw);
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }
  ~PtyPair() {
    HangUp();
    if (slave_ >= 0) {
      close(slave_);
    }
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& path() const { return path_; }

  bool Send(const std::string& bytes) {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What the window wrote, waiting up to timeout for at least `want` bytes.
  std::string Receive(std::size_t want, std::chrono::milliseconds timeout) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd fd{master_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
        break;
      }
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  void HangUp() {
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Plays the operator at modal dialogs: every message box and result banner that comes up is
// handed to the handler once it is on screen; by default its text is recorded and its OK
// button pressed. Modal runs block the test's own code, so this is how a test answers them.
class ModalCatcher : public QObject {
 public:
  using Handler = std::function<void(QDialog*)>;

  ModalCatcher() : ModalCatcher([](QDialog*) {}) {}
  explicit ModalCatcher(Handler before_ok) : before_ok_(std::move(before_ok)) {
    qApp->installEventFilter(this);
  }
  ~ModalCatcher() override { qApp->removeEventFilter(this); }

  QStringList messages;  // texts of the message boxes, in order
  QStringList captions;
  int banners = 0;
  bool only_ok = true;  // every message box had an OK button and nothing else

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show &&
        (qobject_cast<QMessageBox*>(watched) || qobject_cast<CMSG*>(watched))) {
      QPointer<QDialog> dialog = static_cast<QDialog*>(watched);
      QTimer::singleShot(0, this, [this, dialog] {
        if (dialog) {
          Answer(dialog);
        }
      });
    }
    return false;
  }

 private:
  void Answer(QDialog* dialog) {
    before_ok_(dialog);
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      messages << box->text();
      captions << box->windowTitle();
      only_ok = only_ok && box->buttons().size() == 1 && box->button(QMessageBox::Ok);
      box->button(QMessageBox::Ok)->click();
    } else {
      ++banners;
      dialog->findChild<QAbstractButton*>(QStringLiteral("IDC_BANNER_OK"))->click();
    }
  }

  Handler before_ok_;
};

// Renders straight into the format the PNG writer takes as it is: converting a grabbed
// picture would run on Qt's thread pool, which ThreadSanitizer cannot follow.
// The window's controls, found by their IDs.
template <typename T>
T* Control(QWidget& window, const char* id) {
  return window.findChild<T*>(QString::fromLatin1(id));
}

inline QLineEdit* Octet(QWidget& window, int k) {
  return Control<QLineEdit>(window, QStringLiteral("IDC_OCTET%1").arg(k).toLatin1().constData());
}

inline void TypeAddress(QWidget& window, const QStringList& octets) {
  for (int k = 1; k <= octets.size(); ++k) {
    Octet(window, k)->clear();
    QTest::keyClicks(Octet(window, k), octets[k - 1]);
  }
}

inline QString Boxes(QWidget& window) {
  QStringList texts;
  for (int k = 1; k <= 6; ++k) {
    texts << Octet(window, k)->text();
  }
  return texts.join(':');
}

inline void Click(QWidget& window, const char* id) {
  QTest::mouseClick(Control<QPushButton>(window, id), Qt::LeftButton);
}

inline void SaveScreenshot(QWidget* widget, const QString& name) {
  QImage image(widget->size(), QImage::Format_RGB32);
  QPainter painter(&image);
  widget->render(&painter);
  painter.end();
  QDir().mkpath(QStringLiteral(PELORUS_SCREENSHOT_DIR));
  image.save(QStringLiteral(PELORUS_SCREENSHOT_DIR "/") + name);
}

}  // namespace pelorus::testing
