#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <memory>
#include <vector>

#include "ui/log_binding.h"
#include "ui/msg.h"
#include "ui/pelorus_app.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace std::chrono_literals;
using pelorus::CMSG;
using pelorus::CPELORUSDlg;
using pelorus::LogBinding;
using pelorus::testing::Boxes;
using pelorus::testing::Click;
using pelorus::testing::Control;
using pelorus::testing::ModalCatcher;
using pelorus::testing::Octet;
using pelorus::testing::PtyPair;
using pelorus::testing::TypeAddress;

namespace {

// The enabled state of the controls, in the order of the run-state table: octet boxes,
// "<" and ">", START, RESET, END, port list.
QString States(QWidget& window) {
  QString row;
  bool octets = true;
  for (int k = 1; k <= 6; ++k) {
    octets = octets && Octet(window, k)->isEnabled();
  }
  row += octets ? '1' : '0';
  for (const char* id : {"IDC_PREV", "IDC_NEXT", "IDC_START", "IDC_RESET", "IDC_END"}) {
    row += Control<QPushButton>(window, id)->isEnabled() ? '1' : '0';
  }
  row += Control<QComboBox>(window, "IDC_PORT")->isEnabled() ? '1' : '0';
  return row;
}

void SelectPort(QWidget& window, const QString& entry) {
  auto* list = Control<QComboBox>(window, "IDC_PORT");
  list->setCurrentIndex(list->findText(entry));
}

// The main window on screen, with the dialogue's waits recorded instead of slept.
struct Bench {
  Bench() {
    window.SetWaitFunction([this](std::chrono::milliseconds d) { waits.push_back(d); });
    window.show();
  }
  CPELORUSDlg window;
  std::vector<std::chrono::milliseconds> waits;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    for (const char* name : {"PELORUS_COM1", "PELORUS_COM4", "PELORUS_TELNET"}) {
      qunsetenv(name);
    }
  }

  void InitialState() {
    Bench bench;
    CPELORUSDlg& window = bench.window;
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("PELORUS"));
    QCOMPARE(window.size(), QSize(879, 491));
    QVERIFY(!(window.windowFlags() & Qt::WindowCloseButtonHint));

    auto* ports = Control<QComboBox>(window, "IDC_PORT");
    QStringList entries;
    for (int i = 0; i < ports->count(); ++i) {
      entries << ports->itemText(i);
    }
    QStringList expected;
    for (int n = 1; n <= 9; ++n) {
      expected << QStringLiteral(" COM-%1 ").arg(n);
    }
    for (int n = 1; n <= 9; ++n) {
      expected << QStringLiteral("COM%1").arg(n);
    }
    QCOMPARE(entries, expected);
    QCOMPARE(ports->currentText(), QStringLiteral(" COM-1 "));

    QCOMPARE(States(window), QStringLiteral("1111111"));
    QCOMPARE(QApplication::focusWidget(), Octet(window, 1));
    QCOMPARE(Boxes(window), QStringLiteral(":::::"));

    // The faces asked for are kept; where they are missing a Korean-capable face stands in,
    // at the cell height given in pixels.
    const QFont octet_font = Octet(window, 6)->font();
    QCOMPARE(octet_font.family(), QStringLiteral("굴림"));
    QCOMPARE(octet_font.weight(), QFont::Bold);
    QVERIFY(qAbs(QFontMetrics(octet_font).height() - 80) <= 1);
    QVERIFY(QFontMetrics(octet_font).inFontUcs4(0xAD74));
    for (const char* id : {"IDC_PREV", "IDC_START", "IDC_NEXT", "IDC_RESET", "IDC_END"}) {
      const QFont font = Control<QPushButton>(window, id)->font();
      QCOMPARE(font.family(), QStringLiteral("굴림"));
      QCOMPARE(font.weight(), QFont::Bold);
      QVERIFY(qAbs(QFontMetrics(font).height() - 19) <= 1);
    }
    QCOMPARE(ports->font(), Control<QPushButton>(window, "IDC_START")->font());

    // The picture is ours, at its own size, its face grey turned into the window's colour.
    auto* picture = Control<QLabel>(window, "IDC_PICTURE");
    QCOMPARE(picture->size(), QSize(242, 77));
    const QImage image = picture->pixmap().toImage();
    QCOMPARE(image.pixelColor(1, 1), window.palette().color(QPalette::Window));
    QVERIFY(!window.windowIcon().isNull());
    pelorus::testing::SaveScreenshot(&window, QStringLiteral("window_idle.png"));
  }

  void StartWithBadOctets() {
    PtyPair port;
    QVERIFY(port.ok());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(port.path()));
    Bench bench;
    CPELORUSDlg& window = bench.window;
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ModalCatcher catcher;

    TypeAddress(window, {"0a", "1B", "4", "3C", "4D", "5E"});
    QCOMPARE(Octet(window, 1)->text(), QStringLiteral("0A"));  // typed letters go upper case
    Click(window, "IDC_START");
    QCOMPARE(catcher.messages, QStringList{"Wrong date (MAC3)"});
    QCOMPARE(catcher.captions, QStringList{QCoreApplication::applicationName()});
    QVERIFY(catcher.only_ok);
    QCOMPARE(Boxes(window), QStringLiteral("0A:1B::3C:4D:5E"));
    QCOMPARE(window.focusWidget(), Octet(window, 3));
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(States(window), QStringLiteral("1111111"));

    // The first bad box wins: box 4 keeps its text.
    TypeAddress(window, {"", "1B", "2C", "G1", "4D", "5E"});
    Click(window, "IDC_START");
    QCOMPARE(catcher.messages.last(), QStringLiteral("Wrong date (MAC1)"));
    QCOMPARE(Boxes(window), QStringLiteral(":1B:2C:G1:4D:5E"));
    QCOMPARE(window.focusWidget(), Octet(window, 1));
    QVERIFY(!window.IsPortOpen());
    QVERIFY(window.LogText().empty());
  }

  void FocusAdvanceAndStores() {
    Bench bench;
    CPELORUSDlg& window = bench.window;
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClicks(Octet(window, 1), "0");
    QCOMPARE(QApplication::focusWidget(), Octet(window, 1));
    QTest::keyClicks(Octet(window, 1), "0");
    QCOMPARE(QApplication::focusWidget(), Octet(window, 2));
    TypeAddress(window, {"00", "00", "00", "00", "00"});
    QCOMPARE(QApplication::focusWidget(), Octet(window, 6));
    QTest::keyClicks(Octet(window, 6), "fF");
    QCOMPARE(QApplication::focusWidget(), Control<QPushButton>(window, "IDC_START"));

    // ">" from 00:00:00:00:00:FF rewrites boxes 5 and 6 only, and leaves the focus alone.
    Octet(window, 2)->setFocus();
    std::vector<std::unique_ptr<QSignalSpy>> changes;
    for (int k = 1; k <= 6; ++k) {
      changes.push_back(std::make_unique<QSignalSpy>(Octet(window, k), &QLineEdit::textChanged));
    }
    Control<QPushButton>(window, "IDC_NEXT")->click();
    QCOMPARE(Boxes(window), QStringLiteral("00:00:00:00:01:00"));
    for (int k = 1; k <= 6; ++k) {
      QCOMPARE(changes[k - 1]->count(), k >= 5 ? 1 : 0);
    }
    QCOMPARE(QApplication::focusWidget(), Octet(window, 2));
    Click(window, "IDC_PREV");
    Click(window, "IDC_PREV");
    QCOMPARE(Boxes(window), QStringLiteral("00:00:00:00:00:FE"));
  }

  void RunStates() {
    PtyPair port;
    QVERIFY(port.ok());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(port.path()));
    Bench bench;
    CPELORUSDlg& window = bench.window;
    ModalCatcher catcher;

    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QVERIFY(catcher.messages.isEmpty());
    QVERIFY(window.IsPortOpen());
    QCOMPARE(States(window), QStringLiteral("0110110"));
    QCOMPARE(window.LogText(), std::string("0:1a:2b:3c:4d:5e"));
    QCOMPARE(Control<QPlainTextEdit>(window, "IDC_LOG")->toPlainText(),
             QStringLiteral("0:1a:2b:3c:4d:5e"));

    // "<" and ">" still correct the address while the boxes are locked.
    Click(window, "IDC_NEXT");
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:5F"));
    Click(window, "IDC_PREV");
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:5E"));

    // The device's bytes reach the dialogue, and its answers the port.
    QVERIFY(port.Send("boot\r\nCODE\r\n"));
    QTRY_COMPARE(window.LogText(), std::string("0:1a:2b:3c:4d:5eboot\r\nCODE\r\n"));
    QCOMPARE(port.Receive(1, 5s), std::string("\x03"));
    QCOMPARE(bench.waits, std::vector<std::chrono::milliseconds>{100ms});

    Click(window, "IDC_RESET");
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(States(window), QStringLiteral("1001011"));
    Click(window, "IDC_NEXT");  // disabled now: nothing steps
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:5E"));

    // START works again after RESET, and END ends the window with the port closed.
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QCOMPARE(window.LogText(), std::string("0:1a:2b:3c:4d:5eboot\r\nCODE\r\n0:1a:2b:3c:4d:5e"));
    Click(window, "IDC_END");
    QVERIFY(!window.isVisible());
    QVERIFY(!window.IsPortOpen());
    QVERIFY(catcher.messages.isEmpty());
  }

  void ChosenPortIsOpened() {
    PtyPair com1;
    PtyPair com4;
    QVERIFY(com1.ok() && com4.ok());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(com1.path()));
    qputenv("PELORUS_COM4", QByteArray::fromStdString(com4.path()));
    Bench bench;
    CPELORUSDlg& window = bench.window;
    ModalCatcher catcher;

    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    SelectPort(window, QStringLiteral("COM4"));
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QVERIFY(com4.Send("from COM4\r\n"));
    QTRY_COMPARE(window.LogText(), std::string("0:1a:2b:3c:4d:5efrom COM4\r\n"));
    Click(window, "IDC_RESET");

    // " COM-7 " names the TELNET device, which this machine does not have.
    SelectPort(window, QStringLiteral(" COM-7 "));
    const QString before = States(window);
    Click(window, "IDC_START");
    QCOMPARE(catcher.messages, QStringList{"COM7 is not ready... you must change com port"});
    QVERIFY(catcher.only_ok);
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(States(window), before);
  }

  void NewsWaitsForTheChunk() {
    PtyPair port;
    QVERIFY(port.ok());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(port.path()));
    Bench bench;
    CPELORUSDlg& window = bench.window;
    ModalCatcher catcher;
    bool box_inside_chunk = false;
    window.SetWaitFunction([&](std::chrono::milliseconds) {
      window.ShowMessage("ERROR", "", false);
      QTest::qWait(50);
      box_inside_chunk = !catcher.messages.isEmpty() || QApplication::activeModalWidget();
    });
    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QVERIFY(port.Send("CODE\r\n"));
    QTRY_COMPARE(catcher.messages, QStringList{"ERROR"});
    QVERIFY(!box_inside_chunk);
    QCOMPARE(catcher.captions, QStringList{QCoreApplication::applicationName()});

    // A hang-up stops the run as RESET does and names the port.
    port.HangUp();
    QTRY_COMPARE(catcher.messages.size(), 2);
    QCOMPARE(catcher.messages[1],
             QStringLiteral("COM1 was lost... check the cable and press START again"));
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(States(window), QStringLiteral("1001011"));
  }

  void LogKeepsBytesAndTyping() {
    QPlainTextEdit box;
    LogBinding log(box);
    std::string text("a\nboot\r");
    log.Store(text);
    text += std::string("\nA\0B\r\n", 6);  // CR LF split between two stores, a zero byte
    log.Store(text);
    QCOMPARE(box.toPlainText(), QStringLiteral("a\nboot\nA\u2400B\n"));
    std::string loaded = text;
    log.Load(loaded);
    QCOMPARE(loaded, text);  // nothing typed: the log text is left alone

    // The operator types in the middle and at the end; the device's bytes around the typing
    // stay as they came (the lone LF), and bytes not shown yet follow the typing.
    QTextCursor cursor(box.document());
    cursor.setPosition(3);
    cursor.insertText(QStringLiteral("x"));
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QStringLiteral("note\u00e9\u4e00"));
    text += "more\r\n";
    log.Load(text);
    QCOMPARE(text, std::string("a\nbxoot\r\nA\0B\r\nnote\xe9?more\r\n", 26));
    log.Store(text);
    QCOMPARE(box.toPlainText(), QStringLiteral("a\nbxoot\nA\u2400B\nnote\u00e9\u4e00more\n"));
  }

  void BannerPaintsRedAndClips() {
    CMSG banner;
    QCOMPARE(banner.size(), QSize(753, 223));
    QCOMPARE(banner.windowTitle(), QStringLiteral("Dialog"));
    auto red_rows = [&banner] {
      const QImage image = banner.grab().toImage();
      int first = -1;
      int last = -1;
      for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
          if (image.pixelColor(x, y) == QColor(255, 0, 0)) {
            first = first < 0 ? y : first;
            last = y;
            break;
          }
        }
      }
      return std::make_pair(first, last);
    };
    QCOMPARE(red_rows().first, -1);
    banner.SetAlert(" MAC Write Success \n(00:1A:2B:3C:4D:5E)");
    QVERIFY(banner.IsAlert());
    QCOMPARE(banner.Text(), QStringLiteral(" MAC Write Success \n(00:1A:2B:3C:4D:5E)\n   "));
    const auto [top, bottom] = red_rows();
    QVERIFY(top >= 0 && top < 40);
    QVERIFY(bottom > 80 && bottom < 160);  // two lines of text, 80 pixels each
    // One long line is cut at the edge, never wrapped onto a second line.
    banner.SetAlert(std::string(60, 'W'));
    QVERIFY(red_rows().second < 80);
  }

  void ApplicationRunsTheWindow() {
    int windows = 0;
    QTimer::singleShot(0, [&windows] {
      if (auto* window = qobject_cast<CPELORUSDlg*>(QApplication::activeModalWidget())) {
        ++windows;
        window->findChild<QPushButton*>(QStringLiteral("IDC_END"))->click();
      }
    });
    pelorus::CPELORUSApp app;
    QCOMPARE(app.InitInstance(), 0);
    QCOMPARE(windows, 1);
    QCOMPARE(QCoreApplication::organizationName(),
             QStringLiteral("Local AppWizard-Generated Applications"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("pelorus_window_test"));
  }
};

QTEST_MAIN(WindowTest)
#include "pelorus_window_test.moc"
