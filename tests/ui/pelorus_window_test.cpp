#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <atomic>
#include <chrono>
#include <future>

#include "ui/log_binding.h"
#include "ui/log_font.h"
#include "ui/pelorus_app.h"
#include "ui/pelorus_dlg.h"
#include "ui/window_template.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;

namespace {

// The faces asked for are kept; where they are missing a Korean-capable face stands in, at
// the cell height given in pixels.
bool IsBoldGulim(const QFont& font, int height) {
  return font.family() == kGulim && font.weight() == QFont::Bold &&
         qAbs(QFontMetrics(font).height() - height) <= 1 && QFontMetrics(font).inFontUcs4(0xAD74);
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  // The window as it opens, and "<" and ">" (typing: the run control test).
  void IdleWindow() {
    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("PELORUS"));
    QCOMPARE(window.size(), QSize(879, 491));
    QVERIFY(!(window.windowFlags() & Qt::WindowCloseButtonHint));
    auto* ports = Control<QComboBox>(window, "IDC_PORT");
    QCOMPARE(ports->count(), 18);
    for (int i = 0; i < 18; ++i) {
      QCOMPARE(ports->itemText(i),
               QString::fromLatin1(i < 9 ? " COM-%1 " : "COM%1").arg(i % 9 + 1));
    }
    QCOMPARE(ports->currentText(), QStringLiteral(" COM-1 "));
    // Each entry says where it leads.
    qputenv("PELORUS_TELNET", "telnet://10.0.0.5:7001");
    ShowDevicesAsTips(*ports);
    QCOMPARE(ports->itemData(6, Qt::ToolTipRole).toString(),
             QStringLiteral("TELNET: telnet://10.0.0.5:7001 (PELORUS_TELNET)"));
    QVERIFY(ports->itemData(9, Qt::ToolTipRole).toString().startsWith("COM1: "));
    qunsetenv("PELORUS_TELNET");
    QCOMPARE(States(window), QStringLiteral("111111|11111|1"));
    QCOMPARE(QApplication::focusWidget(), Octet(window, 1));
    QCOMPARE(Boxes(window), QStringLiteral(":::::"));
    QVERIFY(IsBoldGulim(Octet(window, 6)->font(), 80));
    const QFont button_font = Control<QWidget>(window, "IDC_START")->font();
    QVERIFY(IsBoldGulim(button_font, 19));
    for (const char* id : {"IDC_PREV", "IDC_NEXT", "IDC_RESET", "IDC_END", "IDC_PORT"}) {
      QCOMPARE(Control<QWidget>(window, id)->font(), button_font);
    }
    QCOMPARE(Control<QLabel>(window, "IDC_PICTURE")->size(), QSize(242, 77));
    QVERIFY(!Control<QLabel>(window, "IDC_POOL_STATUS")->isVisible());  // no pool, no status
    QVERIFY(!window.windowIcon().isNull());
    SaveScreenshot(&window, QStringLiteral("window_idle.png"));

    // ">" from 00:00:00:00:00:FF rewrites boxes 5 and 6 only, and leaves the focus alone.
    TypeAddress(window, {"00", "00", "00", "00", "00", "FF"});
    Octet(window, 2)->setFocus();
    QString changed;
    for (int k = 1; k <= 6; ++k) {
      connect(Octet(window, k), &QLineEdit::textChanged,
              [&changed, k] { changed += QString::number(k); });
    }
    Control<QPushButton>(window, "IDC_NEXT")->click();
    QCOMPARE(Boxes(window), QStringLiteral("00:00:00:00:01:00"));
    QCOMPARE(changed, QStringLiteral("56"));
    QCOMPARE(QApplication::focusWidget(), Octet(window, 2));
    Click(window, "IDC_PREV");
    QCOMPARE(Boxes(window), QStringLiteral("00:00:00:00:00:FF"));
  }

  // A run on the port the operator chose, the device's bytes in the box. The window stays
  // live while the run waits to answer: the box catches up to the line being answered.
  void RunOnChosenPort() {
    PtyPair com1("PELORUS_COM1");
    PtyPair com4("PELORUS_COM4");
    QVERIFY(com1.ok() && com4.ok());
    CPELORUSDlg window;
    window.show();
    ModalCatcher catcher;
    std::promise<void> seen;
    std::shared_future<void> seen_by_test = seen.get_future().share();
    std::atomic<int> waits{0};
    window.SetWaitFunction([&waits, seen_by_test](std::chrono::milliseconds) {
      ++waits;
      seen_by_test.wait();
    });

    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Control<QComboBox>(window, "IDC_PORT")->setCurrentText(QStringLiteral("COM4"));
    Click(window, "IDC_START");
    QTRY_VERIFY(window.IsPortOpen());

    QVERIFY(com4.Send("boot\r\nCODE\r\n"));
    auto* log = Control<QPlainTextEdit>(window, "IDC_LOG");
    QTRY_COMPARE(log->toPlainText(), QStringLiteral("0:1a:2b:3c:4d:5eboot\nCODE\n"));
    QCOMPARE(waits.load(), 1);  // the run is in its wait after the interrupt
    QCOMPARE(com4.Received(), std::string("\x03"));
    seen.set_value();

    Click(window, "IDC_RESET");
    QTRY_VERIFY(!window.IsPortOpen());
    QVERIFY(com1.Received().empty());
    QVERIFY(catcher.messages.isEmpty());
    QVERIFY(catcher.proper);
  }

  // The box shows every byte, at most an interval late. A line without a line end shows as
  // pieces of 1024 characters, however the stores split it, while the log text keeps every
  // byte. What the operator types inside or after such a line is taken back around the
  // device's bytes: a break between pieces is no byte, whether the operator leaves it, deletes
  // it or types next to it; a typed line end is CR LF, a letter beyond Latin-1 a '?'.
  void LogShowsLongLineInPieces() {
    std::string line;  // letters with a zero byte now and then
    QString line_shown;
    for (int i = 0; i < 3000; ++i) {
      const char byte = i % 7 == 3 ? '\0' : static_cast<char>('a' + i % 26);
      line += byte;
      line_shown += byte == '\0' ? QChar(0x2400) : QChar::fromLatin1(byte);
    }
    const auto pieces = [&line_shown](qsizetype length) {
      QStringList shown;
      for (qsizetype at = 0; at < length; at += 1024) {
        shown += line_shown.mid(at, std::min<qsizetype>(1024, length - at));
      }
      return shown;
    };
    QPlainTextEdit box;
    const auto lines = [&box] { return box.toPlainText().split(QLatin1Char('\n')); };
    LogBinding log(box);
    std::string text = "boot\r\n" + line.substr(0, 700);
    log.Store(text);
    QTRY_COMPARE(lines(), QStringList{"boot"} + pieces(700));
    text += line.substr(700, 1000);
    log.Store(text);
    QTRY_COMPARE(lines(), QStringList{"boot"} + pieces(1700));
    text += line.substr(1700) + "\r";
    log.Store(text);
    text += "\nnext";
    log.Store(text);
    QTRY_COMPARE(lines(), QStringList{"boot"} + pieces(3000) + QStringList{"next"});
    QCOMPARE(box.document()->toRawText(), LogBinding::ToDisplay(text));
    std::string expected = text;
    log.Load(text);  // nothing typed: the log text is left alone
    QCOMPARE(text, expected);

    // Typing into the second piece and deleting the break before the third, in one go, while
    // the device goes on: what it sent stays after the typing, shown or not yet.
    QTextCursor cursor(box.document());
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::MoveAnchor, 2);
    cursor.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 10);
    cursor.insertText(QStringLiteral("x"));
    cursor.movePosition(QTextCursor::NextBlock);
    cursor.deletePreviousChar();
    text += " done\n";
    log.Store(text);
    log.Load(text);
    expected = "boot\r\n" + line.substr(0, 1034) + "x" + line.substr(1034) + "\r\nnext done\n";
    QCOMPARE(text, expected);

    // A note after the line, then an Enter in its first piece. The box still shows the pieces
    // as they were, one of them now longer than the rest.
    QTRY_COMPARE(lines().last(), QString());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QStringLiteral("note"));
    log.Load(text);
    expected += "note";
    QCOMPARE(text, expected);
    cursor.setPosition(5 + 100);
    cursor.insertBlock();
    log.Load(text);
    expected.insert(6 + 100, "\r\n");
    QCOMPARE(text, expected);

    // Output after the note fills the operator's line up to a piece and goes on in the next;
    // typing after it still finds every break where the box shows it.
    text += std::string(1100, 'z');
    log.Store(text);
    QTRY_COMPARE(lines().mid(lines().size() - 2),
                 (QStringList{"note" + QString(1020, 'z'), QString(80, 'z')}));
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QStringLiteral("!\u00e9\u4e00"));
    log.Load(text);
    expected += std::string(1100, 'z') + "!\xe9?";
    QCOMPARE(text, expected);
    // The box keeps that letter as typed: an Enter before it changes nothing else.
    cursor.setPosition(5 + 50);
    cursor.insertBlock();
    log.Load(text);
    expected.insert(6 + 50, "\r\n");
    QCOMPARE(text, expected);
  }

  // The log keeps its scroll-back: after a hundred times the lines it holds, the box and the
  // log text hold the last of them, within a tenth more, after a note on what was dropped.
  // What the operator types before and after a trim is taken back where it was typed, and a
  // long line that a trim cuts keeps its pieces where they were.
  void LogKeepsItsScrollback() {
    QPlainTextEdit box;
    const auto lines = [&box] { return box.toPlainText().split(QLatin1Char('\n')); };
    LogBinding log(box);
    log.SetScrollback({100, 1000000, {}});
    std::string text;
    std::string sent;
    for (int n = 10000; n < 20000; n += 100) {
      std::string batch;
      for (int k = n; k < n + 100; ++k) {
        batch += "line " + std::to_string(k) + "\r\n";
      }
      sent += batch;
      text += batch;
      log.Store(text);
      QVERIFY(box.blockCount() <= 1 + 110);
    }
    QTRY_COMPARE(box.document()->toRawText(), LogBinding::ToDisplay(text));
    QVERIFY(text.size() <= 200 + 110 * 12);
    std::size_t note_end = text.find("\r\n") + 2;
    const std::size_t dropped = sent.size() - (text.size() - note_end);
    QCOMPARE(text.substr(note_end), sent.substr(dropped));
    QCOMPARE(QString::fromStdString(text.substr(0, note_end)),
             QStringLiteral("[%1 earlier lines (0.1 MB) dropped: the log keeps the last 100 "
                            "lines]\r\n")
                 .arg(QLocale(QLocale::English).toString(static_cast<qulonglong>(dropped / 12))));

    // Typed at the end and not yet taken in when the device's lines push the box over: the
    // lines follow the typing. Then typed at the top, after the trim.
    QTextCursor cursor(box.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QStringLiteral("typed"));
    const std::string note = text.substr(0, note_end);
    std::string late;
    for (int n = 10; n < 30; ++n) {
      late += "late " + std::to_string(n) + "\r\n";
      text += late.substr(late.size() - 9);
      log.Store(text);
    }
    QTRY_COMPARE(box.document()->toRawText(), LogBinding::ToDisplay(text));
    QVERIFY(text.compare(0, note_end, note) != 0);
    log.Load(text);
    QCOMPARE(text.substr(text.size() - late.size() - 5), "typed" + late);
    cursor.setPosition(box.document()->findBlockByNumber(1).position());
    cursor.insertText(QStringLiteral("!"));
    note_end = text.find("\r\n") + 2;
    std::string expected = text;
    expected.insert(note_end, "!");
    log.Load(text);
    QCOMPARE(text, expected);

    // A line without a line end, cut by the bytes kept: the pieces kept are those it had.
    log.SetScrollback({100, 2500, "kept elsewhere"});
    std::string line;
    for (int i = 0; i < 8000; ++i) {
      line += static_cast<char>('a' + i % 26);
    }
    text += line.substr(0, 5000);
    log.Store(text);
    QTRY_COMPARE(lines().size(), 3);
    text += line.substr(5000);
    log.Store(text);
    QTRY_COMPARE(lines().mid(1), (QStringList{QString::fromLatin1(line.substr(6144, 1024)),
                                              QString::fromLatin1(line.substr(7168))}));
    QCOMPARE(box.document()->toRawText(), LogBinding::ToDisplay(text));
    note_end = text.find("\r\n") + 2;
    QVERIFY(
        QString::fromStdString(text.substr(0, note_end)).endsWith("dropped: kept elsewhere]\r\n"));
    cursor.setPosition(box.document()->findBlockByNumber(1).position() + 10);
    cursor.insertText(QStringLiteral("x"));
    cursor.setPosition(box.document()->findBlockByNumber(2).position());
    cursor.deletePreviousChar();
    log.Load(text);
    QCOMPARE(text.substr(note_end), line.substr(6144, 10) + "x" + line.substr(6154));
  }

  void BannerPaintsRedAndClips() {
    CMSG banner;
    QCOMPARE(banner.size(), QSize(753, 223));
    banner.SetAlert(" MAC Write Success \n(00:1A:2B:3C:4D:5E)");
    const auto [top, bottom] = RedRows(banner.grab().toImage());
    QVERIFY(top >= 0 && top < 40);
    QVERIFY(bottom > 80 && bottom < 160);  // two lines of text, 80 pixels each
    // One long line is cut at the edge, never wrapped onto a second line.
    banner.SetAlert(std::string(60, 'W'));
    QVERIFY(RedRows(banner.grab().toImage()).second < 80);
  }

  void ApplicationRunsTheWindow() {
    int windows = 0;
    QTimer::singleShot(0, [&windows] {
      if (auto* window = qobject_cast<CPELORUSDlg*>(QApplication::activeModalWidget())) {
        ++windows;
        Click(*window, "IDC_END");
      }
    });
    CPELORUSApp app;
    QCOMPARE(app.InitInstance(), 0);
    QCOMPARE(windows, 1);
  }
};

QTEST_MAIN(WindowTest)
#include "pelorus_window_test.moc"
