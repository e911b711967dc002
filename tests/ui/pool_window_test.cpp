#include <QLabel>
#include <chrono>

#include "../pool/pool_store.h"
#include "pool/address_pool.h"
#include "ui/pelorus_app.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;
using pool::AddressPool;
using pool::AddressRecord;
using pool::AddressState;
using std::chrono::milliseconds;

namespace {

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
const std::string kStation = "bench1/COM1";

}  // namespace

class PoolWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // A window on a pool of three addresses: the boxes are the pool's, every address is on
  // record as written before its command goes out and as verified before its banner, a board
  // that fails keeps its address, a store that fails at "480" gets nothing sent, and the
  // used-up pool ends the run after the last banner.
  void PoolOwnsTheAddress() {
    PoolStore store("sqlite");
    std::string error;
    auto record = AddressPool::Open(store.location(), true, &error);
    QVERIFY2(record && record->Create(AddressPool::kDefaultName, kFirst, kFirst + 2, &error),
             error.c_str());
    Mac48 open = 0;
    QVERIFY(record->Lease(AddressPool::kDefaultName, kStation, &open, &error));
    const auto state = [&](Mac48 address) {
      AddressRecord r;
      record->Check(address, &r, &error);
      return QStringLiteral("%1 %2").arg(pool::StateName(r.state)).arg(r.attempts);
    };

    PtyPair device("PELORUS_COM1");
    QVERIFY(device.ok());
    auto station =
        PoolStation::Open({store.location(), AddressPool::kDefaultName, kStation}, &error);
    QVERIFY2(station, error.c_str());
    CPELORUSDlg window(std::move(station));
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* status = Control<QLabel>(window, "IDC_POOL_STATUS");
    QVERIFY(status->isVisible());
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:00:00"));
    QTest::keyClicks(Octet(window, 6), "77");
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:00:00"));
    QCOMPARE(States(window), QStringLiteral("111111|00111|1"));

    bool verified_before_banner = true;
    ModalCatcher catcher([&](QDialog* dialog) {
      if (qobject_cast<CMSG*>(dialog) != nullptr) {
        verified_before_banner =
            verified_before_banner && state(kFirst + catcher.banners.size()).startsWith("verified");
      }
    });
    QString before_command;
    window.SetWaitFunction([&](milliseconds duration) {
      if (duration == milliseconds(500)) {
        before_command = state(open) + "|" + QString::fromStdString(device.Received());
      }
    });
    Click(window, "IDC_START");
    QCOMPARE(States(window), QStringLiteral("000000|00011|0"));
    QVERIFY(device.Send("480\r\n"));
    std::string sent;
    QTRY_COMPARE(sent += device.Received(), std::string("macprog2 00-1A-2B-3C-00-00\n"));
    QCOMPARE(before_command, QStringLiteral("written 1|"));
    QVERIFY(device.Send("1fd0000c: 00 1a 2b 3c 00 00\r\n"));
    QTRY_COMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:00:01"));
    QCOMPARE(catcher.banners.size(), 1);
    QCOMPARE(status->text(), QStringLiteral("pool default: 2 / 3 used · this station 1"));
    AddressRecord first;
    QVERIFY(record->Check(kFirst, &first, &error));
    QCOMPARE(first.readback, std::string("1fd0000c: 00 1a 2b 3c 00 00"));
    QCOMPARE(first.port.rfind("COM1 /dev/pts/", 0), 0u);

    // This board reads back something else: the next one gets the same address.
    QVERIFY(device.Send("480\r\n1fd0000c: 00 1A 2B 3C 00 09\r\n480\r\n"));
    QTRY_COMPARE(state(kFirst + 1), QStringLiteral("written 2"));
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:00:01"));
    device.Received();

    // The store refuses the mark: the command stays unsent and the run stops.
    QVERIFY(
        store.Sql("CREATE TRIGGER full BEFORE UPDATE ON pelorus_addresses"
                  " BEGIN SELECT RAISE(ABORT, 'disk full'); END"));
    QVERIFY(device.Send("480\r\n"));
    QTRY_COMPARE(catcher.messages.size(), 1);
    QCOMPARE(catcher.messages[0],
             QStringLiteral("00-1A-2B-3C-00-01 could not be put on record in pool default, so it "
                            "was not written into the device. The run has stopped."));
    QCOMPARE(States(window), QStringLiteral("111111|00101|1"));
    QVERIFY(device.Received().empty());
    QCOMPARE(state(kFirst + 1), QStringLiteral("written 2"));
    QVERIFY(store.Sql("DROP TRIGGER full"));

    // The last two addresses, then the pool is used up: the banner still shows, then the run
    // stops with the reason.
    PtyPair again("PELORUS_COM1");
    Click(window, "IDC_START");
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:00:01"));
    QVERIFY(again.Send("1fd0000c: 00 1A 2B 3C 00 01\r\n480\r\n1fd0000c: 00 1A 2B 3C 00 02\r\n"));
    QTRY_COMPARE(catcher.messages.size(), 2);
    QCOMPARE(catcher.banners.size(), 3);
    QCOMPARE(catcher.messages[1],
             QStringLiteral("Pool default gives no next address. The run has stopped."));
    QCOMPARE(States(window), QStringLiteral("111111|00101|1"));
    QCOMPARE(status->text(), QStringLiteral("pool default: 3 / 3 used · this station 3"));
    QVERIFY(verified_before_banner);
    QVERIFY(catcher.proper);
    SaveScreenshot(&window, QStringLiteral("window_pool.png"));
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
};

QTEST_MAIN(PoolWindowTest)
#include "pool_window_test.moc"
