#include <QLabel>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <tuple>

#include "serial/comm.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;
using std::chrono::milliseconds;

namespace {

const QString kTyped = QStringLiteral("00:1A:2B:3C:4D:5E");
const QString kRunning = QStringLiteral("000000|11011|0");
const QString kStopped = QStringLiteral("111111|00101|1");

// Where the keys go: the window's focus (the test platform does not give the window back its
// activation when a modal dialog closes, as a desktop does).
bool FocusOnButton(QWidget& window) {
  return qobject_cast<QPushButton*>(window.focusWidget()) != nullptr &&
         window.focusWidget()->objectName() != QStringLiteral("IDC_START");
}

}  // namespace

class RunControlTest : public QObject {
  Q_OBJECT

 private slots:
  // The operator's keys: Tab goes round the six boxes only; Enter starts a run from the boxes
  // or START and does nothing else; Space and Enter never reach "<", ">", RESET or END; the
  // key that closes a banner goes no further; Escape asks before it ends a run.
  void StrayKeysNeverChangeTheAddressOrEndTheRun() {
    PtyPair device("PELORUS_COM1");
    QVERIFY(device.ok());
    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ModalCatcher catcher;

    for (int k = 2; k <= 7; ++k) {
      PressKey(window, Qt::Key_Tab);
      QCOMPARE(window.focusWidget(), Octet(window, (k - 1) % 6 + 1));
    }
    // Typing moves on by itself; after the sixth octet the focus is on START.
    for (const QString& octet : kTyped.split(':')) {
      QTest::keyClicks(window.focusWidget(), octet);
    }
    QCOMPARE(window.focusWidget(), Control<QWidget>(window, "IDC_START"));
    Octet(window, 3)->setFocus();
    PressKey(window, Qt::Key_Return);  // from an octet box: START
    QCOMPARE(States(window), kRunning);
    QTRY_VERIFY(window.IsPortOpen());
    QVERIFY(!FocusOnButton(window));

    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Tab}) {
      PressKey(window, key);
      QVERIFY(!FocusOnButton(window));
    }
    PressKey(window, Qt::Key_Escape);  // asks; the catcher answers No
    QTRY_COMPARE(catcher.messages, QStringList{"End the run and close PELORUS?"});
    QCOMPARE(States(window), kRunning);
    QCOMPARE(Boxes(window), kTyped);

    // Two devices, each banner closed with a double key press: one step per device.
    catcher.banner_key = Qt::Key_Return;
    QVERIFY(device.Send("1fd0000c: 00 1A 2B 3C 4D 5E\r\n"));
    QTRY_COMPARE(catcher.banners.size(), 1);
    PressKey(window, Qt::Key_Return);
    catcher.banner_key = Qt::Key_Escape;
    QVERIFY(device.Send("1fd0000c: 00 1A 2B 3C 4D 5F\r\n"));
    QTRY_COMPARE(catcher.banners.size(), 2);
    PressKey(window, Qt::Key_Escape);
    QTRY_COMPARE(catcher.messages.size(), 2);
    QTRY_COMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:60"));
    QCOMPARE(States(window), kRunning);
    QVERIFY(!FocusOnButton(window));
    QVERIFY(device.Received().empty());

    Click(window, "IDC_RESET");
    QCOMPARE(States(window), kStopped);
    QCOMPARE(window.focusWidget(), Octet(window, 1));
    PressKey(window, Qt::Key_Return);  // a new run, not END
    QCOMPARE(States(window), kRunning);
    Click(window, "IDC_RESET");
    QVERIFY(catcher.proper);
    PressKey(window, Qt::Key_Escape);  // no run: the window ends without asking
    QVERIFY(!window.isVisible());
    QCOMPARE(catcher.messages.size(), 2);
  }

  // RESET, END or a confirmed Escape during one of the dialogue's waits: the wait ends, not
  // one more byte goes to the device, and the run ends as the command says.
  void EndingTheRunDuringAWaitSendsNothingMore() {
    struct Ending {
      const char* name;
      std::function<void(CPELORUSDlg&)> act;
      bool closes;
    };
    const Ending endings[] = {
        {"RESET", [](CPELORUSDlg& w) { Click(w, "IDC_RESET"); }, false},
        {"END", [](CPELORUSDlg& w) { Click(w, "IDC_END"); }, true},
        {"Escape", [](CPELORUSDlg& w) { PressKey(w, Qt::Key_Escape); }, true},
    };
    for (const Ending& ending : endings) {
      PtyPair device("PELORUS_COM1");
      QVERIFY(device.ok());
      CPELORUSDlg window;
      window.show();
      QVERIFY(QTest::qWaitForWindowActive(&window));
      ModalCatcher catcher;
      catcher.answer = QMessageBox::Yes;
      QList<int> waits;
      std::string sent;
      // The wait runs on the run's thread; the operator's command is given on the window's,
      // and the wait ends once the window has acted on it (END and Escape: the window closed).
      window.SetWaitFunction([&](milliseconds duration) {
        OnWindowThread([&] {
          waits << static_cast<int>(duration.count());
          sent += device.Received();  // read before the port closes and drops what it holds
        });
        if (duration == milliseconds(500)) {
          std::promise<void> acted;
          WindowThreadHop::Post([&] {
            if (ending.closes) {
              QObject::connect(&window, &QDialog::finished, &window,
                               [&acted] { acted.set_value(); });
              ending.act(window);
            } else {
              ending.act(window);
              acted.set_value();
            }
          });
          acted.get_future().wait();
        }
      });
      TypeAddress(window, kTyped.split(':'));
      Click(window, "IDC_START");
      QTRY_VERIFY(window.IsPortOpen());
      QVERIFY(device.Send("CODE\r\n480\r\ndone\r\n"));
      QTRY_VERIFY2(!window.IsPortOpen(), ending.name);
      QCOMPARE(waits, (QList<int>{100, 500}));
      QCOMPARE(sent + device.Received(), std::string("\x03"));
      QCOMPARE(window.isVisible(), !ending.closes);
      if (!ending.closes) {
        QCOMPARE(States(window), kStopped);
        QCOMPARE(Boxes(window), kTyped);
      }
      QTRY_VERIFY(window.LogText().find("done\r\n") != std::string::npos);
    }
  }

  // The cable is pulled while the dialogue waits to answer: the write that follows fails, and
  // no box tells of it; the status line says the port is lost and waited for. RESET ends the
  // wait (a port back during a run: the whole bench test). A step by hand into a group address
  // stops a run, with its reason.
  void OneMessagePerEvent() {
    auto device = std::make_unique<PtyPair>("PELORUS_COM1");
    QVERIFY(device->ok());
    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* status = Control<QLabel>(window, "IDC_PORT_STATUS");
    ModalCatcher catcher;
    window.SetWaitFunction([&](milliseconds) { OnWindowThread([&] { device->HangUp(); }); });
    TypeAddress(window, {"00", "FF", "FF", "FF", "FF", "FF"});
    Click(window, "IDC_START");
    QTRY_VERIFY(window.IsPortOpen());
    QVERIFY(device->Send("480\r\n"));
    QTRY_VERIFY(status->isVisible());
    QVERIFY(status->text().startsWith("COM1 was lost (/dev/pts/"));
    QCOMPARE(States(window), kRunning);
    Click(window, "IDC_RESET");
    QCOMPARE(States(window), kStopped);
    QVERIFY(!status->isVisible());
    device = std::make_unique<PtyPair>("PELORUS_COM1");
    QTest::qWait(1000);  // twice the time between tries of a lost device
    QVERIFY(!window.IsPortOpen());
    QVERIFY(catcher.messages.isEmpty());

    Click(window, "IDC_START");
    Click(window, "IDC_NEXT");
    QTRY_COMPARE(catcher.messages,
                 QStringList{"The address after 00:FF:FF:FF:FF:FF is a group (multicast) address, "
                             "which no device may take. The run has stopped."});
    QCOMPARE(States(window), kStopped);
    QCOMPARE(Boxes(window), QStringLiteral("00:FF:FF:FF:FF:FF"));
    QVERIFY(catcher.proper);
  }

  // START refused: the first bad octet box (a group address's first among them) gets the
  // focus; a port that will not open keeps the box's words and says, beneath them, where the
  // port leads and why it would not open. Nothing is opened or logged.
  void StartRefusedSaysWhy() {
    PtyPair taken("PELORUS_COM1");
    QVERIFY(taken.ok());
    CComm other;
    QCOMPARE(other.Open({1, 0, 8, 0, 0, 0, 115200}), 1);
    const QByteArray busy = qgetenv("PELORUS_COM1");
    qunsetenv("PELORUS_TELNET");
    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    ModalCatcher catcher;
    // What is typed, the box named, and what the boxes hold after: the box named is emptied.
    const std::tuple<QStringList, int, QString> octets[] = {
        {{"0a", "1B", "4", "3C", "4D", "5E"}, 3, "0A:1B::3C:4D:5E"},  // typed letters: upper case
        {{"FF", "FF", "FF", "FF", "FF", "FF"}, 1, ":FF:FF:FF:FF:FF"}};
    for (const auto& [typed, wrong, after] : octets) {
      TypeAddress(window, typed);
      const qsizetype before = catcher.messages.size();
      Click(window, "IDC_START");
      QTRY_COMPARE(catcher.messages.size(), before + 1);
      QCOMPARE(catcher.messages.last(), QStringLiteral("Wrong date (MAC%1)").arg(wrong));
      QCOMPARE(Boxes(window), after);
      QCOMPARE(window.focusWidget(), Octet(window, wrong));
    }
    QVERIFY(catcher.details.last().endsWith("the first octet must be even."));
    TypeAddress(window, kTyped.split(':'));
    const std::pair<QByteArray, QString> cases[] = {
        {"/nonexistent/ttyUSB9", "/nonexistent/ttyUSB9: missing: no such device"},
        {busy, QString::fromLatin1(busy) + ": busy: in use by another program"},
        {"/dev/null", "/dev/null: not a serial device"},
        {"tcp://127.0.0.1:9", "127.0.0.1:9: "},
    };
    for (const auto& [target, detail] : cases) {
      qputenv("PELORUS_COM1", target);
      const qsizetype before = catcher.messages.size();
      Click(window, "IDC_START");
      QTRY_COMPARE(catcher.messages.size(), before + 1);
      QCOMPARE(catcher.messages.last(),
               QStringLiteral("COM1 is not ready... you must change com port"));
      QVERIFY2(catcher.details.last().startsWith(detail), qPrintable(catcher.details.last()));
    }
    Control<QComboBox>(window, "IDC_PORT")->setCurrentText(QStringLiteral(" COM-7 "));
    const qsizetype before = catcher.messages.size();
    Click(window, "IDC_START");
    QTRY_COMPARE(catcher.messages.size(), before + 1);
    QCOMPARE(catcher.messages.last(),
             QStringLiteral("COM7 is not ready... you must change com port"));
    QVERIFY(catcher.details.last().endsWith("(set PELORUS_TELNET to a device)"));
    QCOMPARE(States(window), QStringLiteral("111111|11111|1"));
    QVERIFY(catcher.proper);
    QVERIFY(!window.IsPortOpen());
    QVERIFY(window.LogText().empty());
  }
};

QTEST_MAIN(RunControlTest)
#include "run_control_test.moc"
