#pragma once

#include <QElapsedTimer>
#include <QMetaObject>
#include <QString>
#include <QStringView>
#include <QTimer>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class QPlainTextEdit;

namespace pelorus {

// The log box's half of the window's data exchange. The log text is raw bytes; the box shows
// one character per byte (Latin-1), except that a zero byte shows as U+2400 and a line end
// (CR LF, CR or LF) starts a new line. The box stays editable: what the operator types into
// it is taken back into the log text, and later output follows it.
//
// A line longer than kPieceLength characters shows as several lines of the box, pieces of
// kPieceLength characters each; the break between two pieces stands for no byte. Qt lays out
// a line of the box whole every time it grows, so a device that prints one endless line (a
// console printing zero bytes) would otherwise make every append cost the whole line so far,
// and the window would fall behind the device. The length is that of the dialogue's line
// buffer.
//
// The log text is always complete; only showing it is batched. Laying out and painting the
// box once per chunk would cost more than everything else a flood of output does, so the box
// catches up about every kShowInterval: a store shows the pending bytes at once when the box
// was last brought up to date longer ago than that or kShowBytes are pending, otherwise a
// single-shot timer shows everything pending when it fires. The timer also fires inside the
// nested event loops of the dialogue's waits and the result banner, so the box catches up
// there too.
//
// The box and the log text keep only the most recent part of the console, as a terminal's
// scroll-back does (see Scrollback): once the box has caught up and holds a tenth more than
// that, the oldest lines leave both, and a note line takes their place at the top, saying how
// much has been dropped in all and where it can still be read. Lines leave by the tenth so
// that dropping them costs little per byte logged.
class LogBinding {
 public:
  static constexpr int kShowInterval = 25;  // milliseconds
  static constexpr std::size_t kShowBytes = 64 * 1024;
  static constexpr std::size_t kPieceLength = 1024;  // characters

  // How much the log keeps: the last `lines` lines of the box (each piece of a long line is a
  // line of its own) within the last `bytes` bytes of the log text, the note aside. The note
  // names `elsewhere` as where the dropped text is kept in full; when that is empty, it says
  // how much the log keeps instead.
  struct Scrollback {
    static constexpr std::size_t kDefaultLines = 20000;
    static constexpr std::size_t kDefaultBytes = 8000000;
    std::size_t lines = kDefaultLines;
    std::size_t bytes = kDefaultBytes;
    std::string elsewhere;
  };

  // Also tells the box's font to spare the work Latin-1 text does not need (shaping, and where
  // no font has U+2400, the search for it); the box keeps the window's face and size.
  explicit LogBinding(QPlainTextEdit& box);
  ~LogBinding();
  LogBinding(const LogBinding&) = delete;
  LogBinding& operator=(const LogBinding&) = delete;

  // Applies from the next time the box catches up.
  void SetScrollback(Scrollback scrollback);

  // Shows the bytes of text that the box does not show yet, at its end, at the cost of those
  // bytes only, now or within kShowInterval; the binding keeps a reference to text for that
  // and shows what text holds by then, so text must outlive the binding. Text beyond the
  // scroll-back then leaves the front of text (what the operator typed taken in first, as by
  // Load). The text is expected to have grown at its end since the last exchange; when it is
  // shorter than what the box shows, the box shows it afresh.
  void Store(std::string& text);
  // When the operator has changed the box since the last exchange, the part of text that the
  // box shows is replaced by the box's contents; bytes not shown yet stay after them. Only the
  // stretch from the first to the last changed character is read back from the box, where
  // every line break stands for CR LF; elsewhere the device's bytes stay as they were, and a
  // break between two pieces of a long line stands for no byte. Otherwise text is left alone.
  void Load(std::string& text);
  // Scrolls the box to its last line without moving the operator's cursor; while bytes wait
  // to be shown, once they are.
  void ScrollToEnd();

  // What the box holds once it shows bytes, a log that only ever grew at its end and that the
  // operator never changed; how the stores split the bytes makes no difference.
  static QString ToDisplay(std::string_view bytes);
  // The bytes that typed text stands for: U+2400 is a zero byte, a line end is CR LF, a
  // character outside Latin-1 becomes '?'.
  static std::string FromDisplay(QStringView text);

 private:
  void ShowPending();
  // Drops the oldest lines from the log text and the box once they hold too much; the box
  // shows the whole log text.
  void TrimToScrollback();
  std::string DroppedNote() const;
  std::string Reconcile(std::string_view shown);
  // Whether the box still shows a character of the log text as the last exchange left it.
  static bool Unchanged(QChar logged, QChar boxed);

  QPlainTextEdit& box_;
  QMetaObject::Connection edit_watch_;
  Scrollback scrollback_;
  std::string* text_ = nullptr;  // the text of the last store
  std::size_t shown_ = 0;        // bytes of the log text that the box shows
  // Offsets in the log text of the bytes that begin a piece of a long line, ascending.
  std::vector<std::size_t> piece_starts_;
  // What has left the log so far; while lines have, the first line of the box is the note.
  std::size_t dropped_lines_ = 0;
  std::size_t dropped_bytes_ = 0;
  bool edited_ = false;  // the operator changed the box since the last exchange
  bool storing_ = false;
  bool scroll_pending_ = false;
  QElapsedTimer since_shown_;  // since the box last caught up; invalid before the first time
  QTimer show_timer_;
};

}  // namespace pelorus
