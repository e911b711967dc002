// The operator ends a run while one of its store steps waits for a store that does not
// answer: the window lets go at once, nothing is written into the device afterwards, and the
// record and the board's attempt still agree with the boards.
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <chrono>

#include "../pool/held_lock.h"
#include "pool_window_support.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;
using std::chrono::milliseconds;

namespace {

// Presses command on the window once its log shows text: the run has that line in hand.
void WhenLogged(CPELORUSDlg& window, const std::string& text, std::function<void()> command) {
  auto* hand = new QTimer(&window);
  QObject::connect(hand, &QTimer::timeout, hand, [&window, text, hand, command] {
    if (window.LogText().find(text) != std::string::npos) {
      hand->stop();
      command();
    }
  });
  hand->start(1);
}

}  // namespace

class PoolStoreFaultsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(state_.isValid());
    qputenv("XDG_STATE_HOME", state_.path().toUtf8());
  }

  // RESET or END while the lease that starts a run waits for the store: the window is free at
  // once, the late answer goes nowhere, and the station starts again normally afterwards.
  void EndingDuringTheStartsLease() {
    PoolStore store("sqlite");
    Record record(store.location(), kFirst + 9);
    QVERIFY2(record.ok, record.error.c_str());
    PtyPair device("PELORUS_COM1");
    for (const char* ending : {"IDC_RESET", "IDC_END"}) {
      auto window = OpenWindow(store.location());
      QVERIFY(window && QTest::qWaitForWindowExposed(window.get()));
      ModalCatcher catcher;
      HeldLock lock("sqlite", store.location());
      QVERIFY(lock.held());
      QTimer::singleShot(200, window.get(), [&] { Click(*window, ending); });
      Click(*window, "IDC_START");
      QTRY_VERIFY(Control<QWidget>(*window, "IDC_START")->isEnabled() || !window->isVisible());
      lock.Release();
      QElapsedTimer clock;
      clock.start();
      window.reset();
      QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
      QVERIFY(catcher.messages.isEmpty());
    }
    auto window = OpenWindow(store.location());
    ModalCatcher catcher;
    Click(*window, "IDC_START");
    QTRY_VERIFY(window->IsPortOpen());
    QTRY_COMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:00"));
    QVERIFY(catcher.messages.isEmpty());
    QVERIFY(device.Received().empty());
  }

  // RESET while the board's verified mark waits for the store: the board holds its address,
  // so it is verified on record and in its attempt, and the station's next START says that the
  // board is done. END there closes the window within a second, the mark kept in the journal
  // and put on record at the next start.
  void EndingDuringTheVerifiedMark() {
    for (const char* ending : {"IDC_RESET", "IDC_END"}) {
      PoolStore store("sqlite");
      Record record(store.location(), kFirst + 9);
      QVERIFY2(record.ok, record.error.c_str());
      PtyPair device("PELORUS_COM1");
      auto window = OpenWindow(store.location());
      QVERIFY(window && QTest::qWaitForWindowExposed(window.get()));
      ModalCatcher catcher;
      window->SetWaitFunction([](milliseconds) {});
      Click(*window, "IDC_START");
      QTRY_VERIFY(window->IsPortOpen());
      QVERIFY(device.Send("CODE\r\n480\r\n"));
      QTRY_COMPARE(record.State(kFirst), QStringLiteral("written 1"));
      auto lock = std::make_unique<HeldLock>("sqlite", store.location());
      QVERIFY(lock->held());
      QElapsedTimer clock;
      WhenLogged(*window, "00 1A 2B 3C 00 00", [&] {
        clock.start();
        Click(*window, ending);
      });
      QVERIFY(device.Send("1fd0000c: 00 1A 2B 3C 00 00\r\n"));
      if (QByteArray(ending) == "IDC_END") {
        QTRY_VERIFY(!window->isVisible());
        window.reset();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
      } else {
        QTRY_VERIFY(!window->IsPortOpen());
      }
      lock.reset();
      QVERIFY(catcher.banners.isEmpty());

      window = OpenWindow(store.location());
      Click(*window, "IDC_START");
      QTRY_COMPARE(catcher.messages.size(), 1);
      QVERIFY2(catcher.messages[0].startsWith("The board with 00-1A-2B-3C-00-00 (verified at "),
               qPrintable(catcher.messages[0]));
      QCOMPARE(record.State(kFirst), QStringLiteral("verified 1"));
      std::vector<pool::Attempt> attempts;
      QVERIFY(record.pool->History(kFirst, &attempts, &record.error));
      QCOMPARE(attempts.size(), 1u);
      QCOMPARE(pool::OutcomeName(attempts[0].outcome), "verified");
      QTRY_COMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:01"));
    }
  }

 private:
  QTemporaryDir state_;
};

QTEST_MAIN(PoolStoreFaultsTest)
#include "pool_store_faults_test.moc"
