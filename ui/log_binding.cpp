#include "ui/log_binding.h"

#include <QFont>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace pelorus {
namespace {

constexpr char16_t kZeroSymbol = 0x2400;
constexpr char16_t kLineEnd = 0x2029;  // how the document holds a line break

bool EndsLine(char byte) {
  return byte == '\r' || byte == '\n';
}

QChar Glyph(char byte) {
  return byte == '\0' ? QChar(kZeroSymbol) : QChar(static_cast<unsigned char>(byte));
}

// How far showing has got: the byte shown last, so that a CR LF split between two stores
// still makes a single line end, and the characters of the piece being shown.
struct ShowState {
  char previous = '\0';
  std::size_t column = 0;
};

// Appends how bytes look to shown, continuing from state; the bytes start at offset in the
// log text, and the offsets of those that begin a new piece go to piece_starts.
void AppendShown(std::string_view bytes, std::size_t offset, ShowState& state, QString& shown,
                 std::vector<std::size_t>& piece_starts) {
  shown.reserve(shown.size() +
                static_cast<qsizetype>(bytes.size() + bytes.size() / LogBinding::kPieceLength + 1));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char byte = bytes[i];
    if (byte == '\n' && state.previous == '\r') {
      // The CR before it already ended the line.
    } else if (EndsLine(byte)) {
      shown.append(QChar(kLineEnd));
      state.column = 0;
    } else {
      if (state.column >= LogBinding::kPieceLength) {
        shown.append(QChar(kLineEnd));
        piece_starts.push_back(offset + i);
        state.column = 0;
      }
      shown.append(Glyph(byte));
      ++state.column;
    }
    state.previous = byte;
  }
}

// Console text is Latin-1, which needs no shaping. Where no font has the zero symbol, Qt
// looks for it in every font again for each one in a line it lays out, which costs more than
// all the rest of showing a line of zero bytes; the box then shows its own font's
// missing-glyph mark whatever it does, so it may stop looking as long as its own font has all
// of Latin-1 (text typed outside Latin-1 is taken as '?' anyway).
QFont::StyleStrategy BoxStrategy(const QFont& font) {
  if (QFontMetrics(font).inFontUcs4(kZeroSymbol)) {
    return QFont::PreferNoShaping;
  }
  QFont alone = font;
  alone.setStyleStrategy(QFont::NoFontMerging);
  const QFontMetrics metrics(alone);
  for (char32_t c = 0x20; c <= 0xFF; ++c) {
    if ((c < 0x7F || c >= 0xA0) && !metrics.inFontUcs4(c)) {
      return QFont::PreferNoShaping;
    }
  }
  return static_cast<QFont::StyleStrategy>(QFont::PreferNoShaping | QFont::NoFontMerging);
}

// 12345678 as "12,345,678".
std::string Grouped(std::size_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t at = digits.size(); at > 3; at -= 3) {
    digits.insert(at - 3, 1, ',');
  }
  return digits;
}

}  // namespace

LogBinding::LogBinding(QPlainTextEdit& box) : box_(box) {
  // Only the strategy is set here; the box still takes its face and size from the window.
  QFont strategy;
  strategy.setStyleStrategy(BoxStrategy(box_.font()));
  box_.setFont(strategy);
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

QString LogBinding::ToDisplay(std::string_view bytes) {
  ShowState state;
  QString shown;
  std::vector<std::size_t> piece_starts;
  AppendShown(bytes, 0, state, shown, piece_starts);
  return shown;
}

// A letter typed beyond Latin-1 went into the log text as '?' but stays in the box as typed;
// read as a change at every later exchange, it would take every break between pieces (and
// every LF the device sent) from there to a later edit as a typed CR LF.
bool LogBinding::Unchanged(QChar logged, QChar boxed) {
  return logged == boxed ||
         (logged == QLatin1Char('?') && boxed.unicode() > 0xFF && boxed != QChar(kLineEnd) &&
          boxed != QChar::LineSeparator && boxed != QChar(kZeroSymbol));
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

void LogBinding::SetScrollback(Scrollback scrollback) {
  scrollback_ = std::move(scrollback);
}

void LogBinding::Store(std::string& text) {
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
    piece_starts_.clear();
    dropped_lines_ = 0;
    dropped_bytes_ = 0;
    edited_ = false;
  }
  if (text.size() > shown_) {
    QTextDocument& document = *box_.document();
    // The piece being shown is the box's last line, with whatever the operator typed into it.
    ShowState state{shown_ > 0 ? text[shown_ - 1] : '\0',
                    static_cast<std::size_t>(document.lastBlock().length() - 1)};
    QString shown;
    AppendShown(std::string_view(text).substr(shown_), shown_, state, shown, piece_starts_);
    QTextCursor end(&document);
    end.movePosition(QTextCursor::End);
    end.insertText(shown);
    shown_ = text.size();
    TrimToScrollback();
  }
  storing_ = false;
  if (scroll_pending_) {
    scroll_pending_ = false;
    ScrollToEnd();
  }
}

void LogBinding::TrimToScrollback() {
  std::string& text = *text_;
  const std::size_t note_lines = dropped_lines_ > 0 ? 1 : 0;
  const std::size_t lines = static_cast<std::size_t>(box_.document()->blockCount()) - note_lines;
  if (lines <= scrollback_.lines + scrollback_.lines / 10 &&
      text.size() <= scrollback_.bytes + scrollback_.bytes / 10) {
    return;
  }
  // Taken in, the typing leaves the box showing the log text character for character, so
  // that the characters to drop from the box can be counted in the log text.
  Load(text);

  // The first line of the box to keep: the one that brings the box down to the lines kept,
  // unless the bytes kept start further on. The last line always stays.
  const std::size_t drop_lines = lines > scrollback_.lines ? lines - scrollback_.lines : 0;
  const std::size_t from = text.size() > scrollback_.bytes ? text.size() - scrollback_.bytes : 0;
  std::size_t line = 0;      // the box's line that begins where the scan is
  std::size_t chars = 0;     // the box's characters before it
  std::size_t note_end = 0;  // where the first line after the note begins
  std::size_t cut = 0;
  const auto begins_line = [&](std::size_t at) {
    if (++line == 1) {
      note_end = at;
    }
    if (at < text.size() && line >= drop_lines + note_lines && at >= from) {
      cut = at;
    }
    return cut > 0;
  };
  auto piece = piece_starts_.cbegin();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i];
    if (byte == '\n' && i > 0 && text[i - 1] == '\r') {
      continue;
    }
    if (piece != piece_starts_.cend() && *piece <= i) {
      ++chars;
      while (piece != piece_starts_.cend() && *piece <= i) {
        ++piece;
      }
      if (begins_line(i)) {
        break;
      }
    }
    ++chars;
    if (EndsLine(byte) &&
        begins_line(byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? i + 2 : i + 1)) {
      break;
    }
  }
  if (cut == 0) {
    return;
  }

  dropped_lines_ += line - note_lines;
  dropped_bytes_ += cut - (note_lines > 0 ? note_end : 0);
  const std::string note = DroppedNote();
  QTextCursor front(box_.document());
  front.setPosition(static_cast<int>(chars), QTextCursor::KeepAnchor);
  front.insertText(ToDisplay(note));
  text.replace(0, cut, note);
  shown_ = text.size();
  // A piece that began at the cut now begins after the note's line end.
  const auto kept = std::upper_bound(piece_starts_.begin(), piece_starts_.end(), cut);
  piece_starts_.erase(piece_starts_.begin(), kept);
  for (std::size_t& start : piece_starts_) {
    start = start - cut + note.size();
  }
}

std::string LogBinding::DroppedNote() const {
  char size[32];
  std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(dropped_bytes_) / 1e6);
  const std::string where = scrollback_.elsewhere.empty()
                                ? "the log keeps the last " + Grouped(scrollback_.lines) + " lines"
                                : scrollback_.elsewhere;
  return "[" + Grouped(dropped_lines_) +
         (dropped_lines_ == 1 ? " earlier line (" : " earlier lines (") + size +
         ") dropped: " + where + "]\r\n";
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
// CR LF, a break between pieces stays no byte), and reads only the stretch the operator
// changed back from its characters.
std::string LogBinding::Reconcile(std::string_view shown) {
  // The box as the last exchange left it; where each of its characters starts in shown (a
  // break between pieces: where the piece after it does), plus the end; and which of its
  // characters are such breaks.
  QString before;
  before.reserve(static_cast<qsizetype>(shown.size() + piece_starts_.size()));
  std::vector<std::size_t> start;
  start.reserve(shown.size() + piece_starts_.size() + 1);
  std::vector<qsizetype> breaks;
  auto piece = piece_starts_.cbegin();
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const char byte = shown[i];
    if (byte == '\n' && i > 0 && shown[i - 1] == '\r') {
      continue;
    }
    if (piece != piece_starts_.cend() && *piece <= i) {
      breaks.push_back(before.size());
      before.append(QChar(kLineEnd));
      start.push_back(i);
      while (piece != piece_starts_.cend() && *piece <= i) {
        ++piece;
      }
    }
    before.append(EndsLine(byte) ? QChar(kLineEnd) : Glyph(byte));
    start.push_back(i);
  }
  start.push_back(shown.size());
  const QString now = box_.document()->toRawText();

  const qsizetype limit = std::min(before.size(), now.size());
  qsizetype prefix = 0;
  while (prefix < limit && Unchanged(before[prefix], now[prefix])) {
    ++prefix;
  }
  qsizetype suffix = 0;
  while (suffix < limit - prefix &&
         Unchanged(before[before.size() - 1 - suffix], now[now.size() - 1 - suffix])) {
    ++suffix;
  }

  const std::size_t head = start[static_cast<std::size_t>(prefix)];
  const std::size_t tail = start[static_cast<std::size_t>(before.size() - suffix)];
  std::string taken(shown.substr(0, head));
  taken += FromDisplay(QStringView(now).mid(prefix, now.size() - prefix - suffix));
  const std::size_t new_tail = taken.size();
  taken += shown.substr(tail);

  // Breaks outside the changed stretch still part the same bytes; inside it, every line break
  // the box shows was read as a line end.
  std::vector<std::size_t> kept;
  for (const qsizetype at : breaks) {
    const std::size_t piece_start = start[static_cast<std::size_t>(at)];
    if (at < prefix) {
      kept.push_back(piece_start);
    } else if (at >= before.size() - suffix) {
      kept.push_back(piece_start - tail + new_tail);
    }
  }
  piece_starts_ = std::move(kept);
  return taken;
}

void LogBinding::ScrollToEnd() {
  if (show_timer_.isActive()) {
    scroll_pending_ = true;
    return;
  }
  QScrollBar* bar = box_.verticalScrollBar();
  if (bar->value() == bar->maximum()) {
    return;
  }
  // A box that paints while it scrolls lays out every line it passes (up to two boxes full) to
  // move the pixels it can keep; after a batch there are none to keep, and those lines may be
  // pieces of kPieceLength characters.
  QWidget& viewport = *box_.viewport();
  const bool updates = viewport.updatesEnabled();
  viewport.setUpdatesEnabled(false);
  bar->setValue(bar->maximum());
  viewport.setUpdatesEnabled(updates);
}

}  // namespace pelorus
