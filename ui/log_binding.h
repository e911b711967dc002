#pragma once

#include <QMetaObject>
#include <QString>
#include <QStringView>
#include <cstddef>
#include <string>
#include <string_view>

class QPlainTextEdit;

namespace pelorus {

// The log box's half of the window's data exchange. The log text is raw bytes; the box shows
// one character per byte (Latin-1), except that a zero byte shows as U+2400 and a line end
// (CR LF, CR or LF) starts a new line. The box stays editable: what the operator types into
// it is taken back into the log text, and later output follows it.
class LogBinding {
 public:
  explicit LogBinding(QPlainTextEdit& box);
  ~LogBinding();
  LogBinding(const LogBinding&) = delete;
  LogBinding& operator=(const LogBinding&) = delete;

  // Shows the bytes of text that the box does not show yet, at its end, at the cost of those
  // bytes only. The text is expected to have grown at its end since the last exchange; when
  // it is shorter than what the box shows, the box shows it afresh.
  void Store(const std::string& text);
  // When the operator has changed the box since the last exchange, the part of text that the
  // box shows is replaced by the box's contents; bytes not shown yet stay after them.
  // Otherwise text is left alone.
  void Load(std::string& text);
  // Scrolls the box to its last line without moving the operator's cursor.
  void ScrollToEnd();

  // How bytes look in the box; previous is the byte shown just before them (0 for none), so
  // that a CR LF split between two exchanges still makes a single line end.
  static QString ToDisplay(std::string_view bytes, char previous);
  // The bytes that typed text stands for: U+2400 is a zero byte, a line end is CR LF, a
  // character outside Latin-1 becomes '?'.
  static std::string FromDisplay(QStringView text);

 private:
  std::string Reconcile(std::string_view shown) const;

  QPlainTextEdit& box_;
  QMetaObject::Connection edit_watch_;
  std::size_t shown_ = 0;  // bytes of the log text that the box shows
  bool edited_ = false;    // the operator changed the box since the last exchange
  bool storing_ = false;
};

}  // namespace pelorus
