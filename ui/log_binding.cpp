#include "ui/log_binding.h"

#include <QFont>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
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
    piece_starts_.clear();
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
