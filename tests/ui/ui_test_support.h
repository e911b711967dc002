#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <utility>

#include "ui/msg.h"

namespace pelorus::testing {

// A pseudo-terminal that plays the port the variable names: the window opens the slave by
// its path, the test is the device on the master (closing it is a hang-up).
class PtyPair {
 public:
  explicit PtyPair(const char* variable) {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
      qputenv(variable, name);
    }
  }
  ~PtyPair() {
    close(master_);  // -1 once hung up
    close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  bool Send(const std::string& bytes) {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What the window has written to the device so far. poll() rather than FIONREAD: only poll
  // makes the kernel hand over what the port wrote a moment ago.
  std::string Received() {
    std::string bytes;
    char buffer[256];
    pollfd ready{master_, POLLIN, 0};
    while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }
  // The cable is pulled: the port hangs up under the window.
  void HangUp() {
    close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
};

// Work for the window's thread, handed over from another thread (a run's wait function). The
// work waits in a queue under a lock of our own and the posted call carries nothing of it:
// Qt's own locks are hidden from ThreadSanitizer, ours are not.
class WindowThreadHop : public QObject {
  Q_OBJECT

 public:
  static void Post(std::function<void()> work) {
    static WindowThreadHop* const hop = new WindowThreadHop;  // lives as long as the program
    std::lock_guard<std::mutex> lock(hop->mutex_);
    hop->work_.push_back(std::move(work));
    QMetaObject::invokeMethod(hop, "Drain", Qt::QueuedConnection);
  }

  Q_INVOKABLE void Drain() {
    std::deque<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      work.swap(work_);
    }
    for (auto& piece : work) {
      piece();
    }
  }

 private:
  WindowThreadHop() { moveToThread(qApp->thread()); }

  std::mutex mutex_;
  std::deque<std::function<void()>> work_;
};

// Runs work on the window's thread and returns once it has run: how a wait function, which the
// run calls on its own thread, looks at what belongs to the window's thread.
inline void OnWindowThread(const std::function<void()>& work) {
  std::promise<void> done;
  WindowThreadHop::Post([&work, &done] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

// The window's controls, found by their IDs.
template <typename T>
T* Control(QWidget& window, const char* id) {
  return window.findChild<T*>(QString::fromLatin1(id));
}

inline void Click(QWidget& window, const char* id) {
  QTest::mouseClick(Control<QPushButton>(window, id), Qt::LeftButton);
}

// A key as the keyboard sends it to the window: to the widget that has its focus, or to the
// window itself when none has.
inline void PressKey(QWidget& window, Qt::Key key) {
  QWidget* focus = window.focusWidget();
  QTest::keyClick(focus != nullptr ? focus : &window, key);
}

// Plays the operator at modal dialogs: every message box and result banner that comes up is
// shown to `look` once it is on screen, then its text is recorded and it is answered: OK, or
// `answer` where the box asks a question; a banner by a click on OK, or by banner_key pressed
// where its focus is. Modal runs block the test's own code, so this is how a test answers them.
class ModalCatcher : public QObject {
 public:
  explicit ModalCatcher(std::function<void(QDialog*)> look = [](QDialog*) {})
      : look_(std::move(look)) {
    qApp->installEventFilter(this);
  }
  ~ModalCatcher() override { qApp->removeEventFilter(this); }

  QStringList messages;  // texts of the message boxes, in order
  QStringList details;   // their informative texts, in the same order
  QStringList banners;   // texts of the result banners, in order
  bool proper = true;    // every message box had the caption PELORUS and only an OK button,
                         // or Yes and No with No as the default
  QMessageBox::StandardButton answer = QMessageBox::No;
  int banner_key = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show &&
        (qobject_cast<QMessageBox*>(watched) || qobject_cast<CMSG*>(watched))) {
      auto* dialog = static_cast<QDialog*>(watched);
      QTimer::singleShot(0, dialog, [this, dialog] { Answer(dialog); });
    }
    return false;
  }

 private:
  void Answer(QDialog* dialog) {
    look_(dialog);
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      messages << box->text();
      details << box->informativeText();
      const bool question = box->button(QMessageBox::Yes) != nullptr;
      proper = proper && box->windowTitle() == QStringLiteral("PELORUS") &&
               (question ? box->buttons().size() == 2 &&
                               box->defaultButton() == box->button(QMessageBox::No)
                         : box->buttons().size() == 1 && box->button(QMessageBox::Ok));
      box->button(question ? answer : QMessageBox::Ok)->click();
    } else {
      banners << static_cast<CMSG*>(dialog)->Text();
      if (banner_key != 0) {
        PressKey(*dialog, static_cast<Qt::Key>(banner_key));
      } else {
        Click(*dialog, "IDC_BANNER_OK");
      }
    }
  }

  std::function<void(QDialog*)> look_;
};

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

// Which controls are enabled, as a row of the run-state table: the six octet boxes, then
// "<", ">", START, RESET, END, then the port list.
inline QString States(QWidget& window) {
  QString row;
  for (const char* id :
       {"IDC_OCTET1", "IDC_OCTET2", "IDC_OCTET3", "IDC_OCTET4", "IDC_OCTET5", "IDC_OCTET6", "|",
        "IDC_PREV", "IDC_NEXT", "IDC_START", "IDC_RESET", "IDC_END", "|", "IDC_PORT"}) {
    row += *id == '|' ? QChar('|') : QChar(Control<QWidget>(window, id)->isEnabled() ? '1' : '0');
  }
  return row;
}

// The first and last rows of the picture with pure red in them; -1 for none.
inline std::pair<int, int> RedRows(const QImage& image) {
  std::pair<int, int> rows{-1, -1};
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y) == QColor(255, 0, 0)) {
        rows = {rows.first < 0 ? y : rows.first, y};
        break;
      }
    }
  }
  return rows;
}

// Renders straight into the format the PNG writer takes as it is: converting a grabbed
// picture would run on Qt's thread pool, which ThreadSanitizer cannot follow.
inline void SaveScreenshot(QWidget* widget, const QString& name) {
  QImage image(widget->size(), QImage::Format_RGB32);
  QPainter painter(&image);
  widget->render(&painter);
  painter.end();
  QDir().mkpath(QStringLiteral(PELORUS_SCREENSHOT_DIR));
  image.save(QStringLiteral(PELORUS_SCREENSHOT_DIR "/") + name);
}

}  // namespace pelorus::testing
