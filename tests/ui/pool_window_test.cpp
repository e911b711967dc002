#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <chrono>

#include "../pool/held_lock.h"
#include "pool/address_pool.h"
#include "pool_window_support.h"
#include "ui/pelorus_app.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;
using pool::AddressPool;
using pool::AddressRecord;
using std::chrono::milliseconds;

class PoolWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(state_.isValid());
    qputenv("XDG_STATE_HOME", state_.path().toUtf8());
  }

  // A window on a pool of three addresses: the boxes are the pool's and the port list keeps
  // the operator's choice; every address is on record as written before its command goes out
  // and as verified before its banner; a board that never confirms spends its address (the
  // next board gets a new one, and the log says which was held back); the used-up pool ends
  // the run after the last banner.
  void PoolOwnsTheAddress() {
    PoolStore store("sqlite");
    Record record(store.location(), kFirst + 2);
    QVERIFY2(record.ok, record.error.c_str());
    pool::LeasedAddress open;
    QVERIFY(record.pool->Lease(AddressPool::kDefaultName, kStation, &open, &record.error));

    PtyPair device("PELORUS_COM1");
    QVERIFY(device.ok());
    auto window = OpenWindow(store.location());
    QVERIFY(window && QTest::qWaitForWindowActive(window.get()));
    QTRY_COMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:00"));
    QTest::keyClicks(Octet(*window, 6), "77");
    QCOMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:00"));
    auto* port = Control<QComboBox>(*window, "IDC_PORT");
    port->setCurrentIndex(port->findText(QStringLiteral(" COM-2 ")));
    QTRY_COMPARE(Control<QLabel>(*window, "IDC_POOL_STATUS")->toolTip(),
                 QStringLiteral("pool default: 1 / 3 used · station bench1/COM1 · this station 0"));
    QCOMPARE(port->currentText(), QStringLiteral(" COM-2 "));
    port->setCurrentIndex(port->findText(QStringLiteral(" COM-1 ")));

    bool verified_before_banner = true;
    ModalCatcher catcher([&](QDialog* dialog) {
      if (qobject_cast<CMSG*>(dialog) != nullptr) {
        const Mac48 shown = catcher.banners.empty() ? kFirst : kFirst + 2;
        verified_before_banner =
            verified_before_banner && record.State(shown).startsWith("verified");
      }
    });
    QString before_command;
    window->SetWaitFunction([&](milliseconds duration) {
      if (duration == milliseconds(500)) {
        OnWindowThread([&] {
          before_command =
              record.State(open.address) + "|" + QString::fromStdString(device.Received());
        });
      }
    });
    Click(*window, "IDC_START");
    QCOMPARE(States(*window), QStringLiteral("000000|00011|0"));
    QTRY_VERIFY(window->IsPortOpen());
    QVERIFY(device.Send("480\r\n"));
    std::string sent;
    QTRY_COMPARE(sent += device.Received(), std::string("macprog2 00-1A-2B-3C-00-00\n"));
    QCOMPARE(before_command, QStringLiteral("written 1|"));
    QVERIFY(device.Send("1fd0000c: 00 1a 2b 3c 00 00\r\n"));
    QTRY_COMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:01"));
    QCOMPARE(catcher.banners.size(), 1);
    AddressRecord first;
    QVERIFY(record.pool->Check(kFirst, &first, &record.error));
    QCOMPARE(first.readback, std::string("1fd0000c: 00 1a 2b 3c 00 00"));
    QCOMPARE(first.port.rfind("COM1 /dev/pts/", 0), 0u);

    // This board reads back something else and goes: the next one gets a new address.
    QVERIFY(device.Send("480\r\n1fd0000c: 00 1A 2B 3C 00 09\r\n480\r\n"));
    sent.clear();
    QTRY_COMPARE(sent += device.Received(), std::string("macprog2 00-1A-2B-3C-00-02\n"));
    QCOMPARE(before_command, QStringLiteral("verified 1|macprog2 00-1A-2B-3C-00-01\n"));
    QVERIFY(QString::fromStdString(window->LogText())
                .contains(QRegularExpression(
                    "\\[00-1A-2B-3C-00-01 held back: written at \\d\\d:\\d\\d:\\d\\d, never "
                    "confirmed\\]")));
    QCOMPARE(record.State(kFirst + 1), QStringLiteral("written 1"));

    // The last address, then the pool is used up: the banner still shows, then the run stops
    // with the reason.
    QVERIFY(device.Send("1fd0000c: 00 1A 2B 3C 00 02\r\n"));
    QTRY_COMPARE(catcher.messages.size(), 1);
    QCOMPARE(catcher.banners.size(), 2);
    QCOMPARE(catcher.messages[0],
             QStringLiteral("Pool default gives no next address. The run has stopped."));
    QCOMPARE(States(*window), QStringLiteral("111111|00101|1"));
    QTRY_COMPARE(Control<QLabel>(*window, "IDC_POOL_STATUS")->toolTip(),
                 QStringLiteral("pool default: 3 / 3 used · station bench1/COM1 · this station 2"));
    QVERIFY(Control<QLabel>(*window, "IDC_PORT_STATUS")->text().contains("held back"));
    QVERIFY(verified_before_banner);
    QVERIFY(catcher.proper);
    SaveScreenshot(window.get(), QStringLiteral("window_pool.png"));
  }

  // The store's steps run beside the window: a second window cannot take a station that runs;
  // RESET during a written mark that the store holds up for 2 s ends the run at once with
  // nothing sent, the window's event loop turning all the while: the mark gives up with the
  // run, so the address stays leased and the next run writes it;
  // a verified mark the store fails goes to the journal, the banner shows, and the run waits
  // for the store before its next lease, then goes on.
  void StoreStepsDoNotHoldTheWindow() {
    PoolStore store("sqlite");
    Record record(store.location(), kFirst + 9);
    QVERIFY2(record.ok, record.error.c_str());
    PtyPair device("PELORUS_COM1");
    auto window = OpenWindow(store.location());
    auto second = OpenWindow(store.location());
    QVERIFY(window && second && QTest::qWaitForWindowExposed(second.get()));
    ModalCatcher catcher;
    window->SetWaitFunction([](milliseconds) {});
    Click(*window, "IDC_START");
    QTRY_COMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:00"));
    QTRY_VERIFY(window->IsPortOpen());
    Click(*second, "IDC_START");
    QTRY_COMPARE(
        catcher.messages,
        QStringList{"Pool default gives station bench1/COM1 no address: the run cannot start."});
    QVERIFY2(catcher.details[0].contains(QString::number(QCoreApplication::applicationPid())),
             qPrintable(catcher.details[0]));
    QCOMPARE(States(*second), QStringLiteral("111111|00111|1"));

    HeldLock locker("sqlite", store.location());
    QVERIFY(locker.held());
    QElapsedTimer clock;
    qint64 last_tick = 0;
    qint64 longest_stall = 0;
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, [&] {
      longest_stall = std::max(longest_stall, clock.elapsed() - last_tick);
      last_tick = clock.elapsed();
    });
    // The first moment the window runs its event loop after logging the "480" line, it waits
    // for the written mark: RESET comes then, and the store lets go 2 s later.
    bool reset = false;
    bool unlocked = false;
    QTimer operator_hand;
    connect(&operator_hand, &QTimer::timeout, [&] {
      if (!reset && window->LogText().find("480\r") != std::string::npos) {
        reset = true;
        Click(*window, "IDC_RESET");
        QTimer::singleShot(2000, [&] {
          locker.Release();
          unlocked = true;
        });
      }
    });
    operator_hand.start(5);
    clock.start();
    ticks.start(10);
    QVERIFY(device.Send("480\r\n"));
    QTRY_COMPARE(States(*window), QStringLiteral("111111|00101|1"));
    QTRY_VERIFY(!window->IsPortOpen());
    QVERIFY(!unlocked);  // the run ended while the store still held the mark up
    QTRY_VERIFY_WITH_TIMEOUT(unlocked, 5000);
    QCOMPARE(record.State(kFirst), QStringLiteral("leased 0"));  // the mark gave up with the run
    ticks.stop();
    QVERIFY2(longest_stall < 1000, qPrintable(QString::number(longest_stall)));
    QVERIFY(device.Received().empty());

    Click(*window, "IDC_START");
    QTRY_COMPARE(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:00"));
    QTRY_VERIFY(window->IsPortOpen());
    QVERIFY(device.Send("480\r\n"));
    QTRY_COMPARE(record.State(kFirst), QStringLiteral("written 1"));
    QVERIFY(
        store.Sql("CREATE TRIGGER full BEFORE UPDATE ON pelorus_addresses WHEN NEW.state ="
                  " 'verified' BEGIN SELECT RAISE(ABORT, 'disk full'); END"));
    QString waiting;
    // Once the window says it waits for the store, the store comes back.
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
      auto* status = Control<QLabel>(*window, "IDC_PORT_STATUS");
      if (waiting.isEmpty() && status->text().contains("does not answer")) {
        waiting = status->text();
        store.Sql("DROP TRIGGER full");
      }
    });
    watch.start(10);
    QVERIFY(device.Send("1fd0000c: 00 1A 2B 3C 00 00\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(Boxes(*window), QStringLiteral("00:1A:2B:3C:00:01"), 8000);
    QCOMPARE(catcher.banners.size(), 1);
    QVERIFY2(waiting.startsWith("pool default does not answer"), qPrintable(waiting));
    QVERIFY(waiting.contains("disk full"));
    QCOMPARE(record.State(kFirst), QStringLiteral("verified 1"));
    QVERIFY(window->LogText().find("00:1A:2B:3C:00:00 verified; kept in the station's journal") !=
            std::string::npos);
    QVERIFY(Control<QLabel>(*window, "IDC_PORT_STATUS")->text().contains("journal"));

    // Past its scroll-back, the log sends the operator to the pool for what it dropped.
    window->SetScrollback(3);
    QVERIFY(device.Send("one\r\ntwo\r\nthree\r\n"));
    QTRY_VERIFY(window->LogText().rfind("[", 0) == 0);
    const QString log = QString::fromStdString(window->LogText());
    QCOMPARE(log.mid(log.indexOf("dropped: ")),
             "dropped: the board attempts' transcripts are in pool default (pelorus-pool history "
             "/ transcript)]\r\ntwo\r\nthree\r\n");
  }

  // A pool that cannot be used stops the program before any window: a message names the
  // location and the store's reason, and the exit status is 1.
  void UnusablePoolEndsTheStart() {
    ModalCatcher catcher;
    CPELORUSApp::Options options;
    options.use_pool = true;
    options.pool.location = "/nonexistent/line.db";
    CPELORUSApp app(options);
    QCOMPARE(app.InitInstance(), 1);
    QCOMPARE(catcher.messages,
             QStringList{"PELORUS cannot use its address pool, so it does not open."});
    QVERIFY(catcher.proper);
  }

 private:
  QTemporaryDir state_;
};

QTEST_MAIN(PoolWindowTest)
#include "pool_window_test.moc"
