#include "ui/log_binding.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <vector>

namespace pelorus {
namespace {

constexpr char16_t kZeroSymbol = 0x2400;
constexpr char16_t kLineEnd = 0x2029;  // how the document holds a line break

}  // namespace

LogBinding::LogBinding(QPlainTextEdit& box) : box_(box) {
  show_timer_.setSingleShot(true);
  QObject::connect(&show_timer_, &QTimer::timeout, [this] { ShowPending(); });
  edit_watch_ = QObject::connect(&box_, &QPlainTextEdit::textChanged, [this] {
    if (!storing_) {
      edited_ = true;
    }
  });
}

LogBinding::~LogBinding() {
  QObject::disconnect(edit_watch_);
}

QString LogBinding::ToDisplay(std::string_view bytes, char previous) {
  QString shown;
  shown.reserve(static_cast<qsizetype>(bytes.size()));
  for (const char byte : bytes) {
    if (byte == '\n' && previous == '\r') {
      // The CR before it already ended the line.
    } else if (byte == '\r' || byte == '\n') {
      shown.append(QChar(kLineEnd));
    } else if (byte == '\0') {
      shown.append(QChar(kZeroSymbol));
    } else {
      shown.append(QChar(static_cast<unsigned char>(byte)));
    }
    previous = byte;
  }
  return shown;
}

std::string LogBinding::FromDisplay(QStringView text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.size()));
  for (const QChar c : text) {
    if (c == QChar(kLineEnd) || c == QChar::LineSeparator || c == QLatin1Char('\n')) {
      bytes += "\r\n";
    } else if (c == QChar(kZeroSymbol)) {
      bytes += '\0';
    } else if (c.unicode() <= 0xFF) {
      bytes += static_cast<char>(c.unicode());
    } else {
      bytes += '?';
    }
  }
  return bytes;
}

void LogBinding::Store(const std::string& text) {
  text_ = &text;
  if (text.size() == shown_) {
    return;
  }
  // A timer starved by a busy queue must not hold the box back longer than one interval, and
  // a flood is shown in steps of bounded size so that no single step stalls the window.
  if (text.size() < shown_ || text.size() - shown_ >= kShowBytes || !since_shown_.isValid() ||
      since_shown_.hasExpired(kShowInterval)) {
    ShowPending();
  } else if (!show_timer_.isActive()) {
    show_timer_.start(static_cast<int>(kShowInterval - since_shown_.elapsed()));
  }
}

void LogBinding::ShowPending() {
  show_timer_.stop();
  since_shown_.start();
  const std::string& text = *text_;
  storing_ = true;
  if (text.size() < shown_) {
    box_.clear();
    shown_ = 0;
    edited_ = false;
  }
  if (text.size() > shown_) {
    QTextCursor end(box_.document());
    end.movePosition(QTextCursor::End);
    const char previous = shown_ > 0 ? text[shown_ - 1] : '\0';
    end.insertText(ToDisplay(std::string_view(text).substr(shown_), previous));
    shown_ = text.size();
  }
  storing_ = false;
  if (scroll_pending_) {
    scroll_pending_ = false;
    ScrollToEnd();
  }
}

void LogBinding::Load(std::string& text) {
  if (!edited_) {
    return;
  }
  const std::size_t shown = std::min(shown_, text.size());
  std::string taken = Reconcile(std::string_view(text).substr(0, shown));
  shown_ = taken.size();
  text.replace(0, shown, taken);
  edited_ = false;
}

// Keeps the device's own bytes wherever the box still shows them unchanged (a CR LF stays a
// CR LF), and reads only the stretch the operator changed back from its characters.
std::string LogBinding::Reconcile(std::string_view shown) const {
  const QString before = ToDisplay(shown, '\0');
  const QString now = box_.document()->toRawText();

  // Where each character of `before` starts in `shown`, plus the end.
  std::vector<std::size_t> start;
  start.reserve(static_cast<std::size_t>(before.size()) + 1);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (!(shown[i] == '\n' && i > 0 && shown[i - 1] == '\r')) {
      start.push_back(i);
    }
  }
  start.push_back(shown.size());

  const qsizetype limit = std::min(before.size(), now.size());
  qsizetype prefix = 0;
  while (prefix < limit && before[prefix] == now[prefix]) {
    ++prefix;
  }
  qsizetype suffix = 0;
  while (suffix < limit - prefix &&
         before[before.size() - 1 - suffix] == now[now.size() - 1 - suffix]) {
    ++suffix;
  }

  const std::size_t head = start[static_cast<std::size_t>(prefix)];
  const std::size_t tail = start[static_cast<std::size_t>(before.size() - suffix)];
  std::string taken(shown.substr(0, head));
  taken += FromDisplay(QStringView(now).mid(prefix, now.size() - prefix - suffix));
  taken += shown.substr(tail);
  return taken;
}

void LogBinding::ScrollToEnd() {
  if (show_timer_.isActive()) {
    scroll_pending_ = true;
    return;
  }
  QScrollBar* bar = box_.verticalScrollBar();
  bar->setValue(bar->maximum());
}

}  // namespace pelorus
