#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <string>

#include "simulated_bench.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;

namespace {

constexpr int kDeviceTimeoutMs = 30000;

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  // The bench the way an operator sees it: three devices, each announced in red with its
  // address while the box shows the console up to the read-back, the address stepping by
  // one, the whole console in the log; RESET ends the run. Then the line hangs up after a
  // device: the status line tells which port went and that the run waits for it; once the
  // port is back the run goes on by itself with the next address, and END closes the window.
  void WholeBench() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimulatedBench sim(dir);
    qputenv("PELORUS_COM1", sim.Link().toLocal8Bit());
    QVERIFY(sim.Start({"--wait-open", "--first", "00-1A-2B-3C-4D-5E", "--chunk", "1-40", "--gap",
                       "0-3", "--zeros", "20", "--noise", "20", "--boot-pause", "20",
                       "--command-time", "20", "--power-cycle", "3000"}));
    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* box = Control<QPlainTextEdit>(window, "IDC_LOG");
    const auto box_shows_log = [&] {
      return box->document()->toRawText() == LogBinding::ToDisplay(window.LogText());
    };
    bool all_red = true;
    bool box_caught_up = true;
    ModalCatcher catcher([&](QDialog* dialog) {
      if (auto* banner = qobject_cast<CMSG*>(dialog)) {
        all_red = all_red && banner->IsAlert() && RedRows(banner->grab().toImage()).first >= 0;
        box_caught_up = box_caught_up && QTest::qWaitFor(box_shows_log, 5000);
        if (catcher.banners.isEmpty()) {
          SaveScreenshot(banner, QStringLiteral("banner.png"));
        }
      }
    });

    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 3, 3 * kDeviceTimeoutMs);
    QCOMPARE(catcher.banners, (QStringList{" MAC Write Success \n(00:1A:2B:3C:4D:5E)\n   ",
                                           " MAC Write Success \n(00:1A:2B:3C:4D:5F)\n   ",
                                           " MAC Write Success \n(00:1A:2B:3C:4D:60)\n   "}));
    QVERIFY(all_red);
    QVERIFY(box_caught_up);
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:61"));

    // The device's prompt after the third dump is the last thing it prints before the next
    // device powers on, seconds later.
    QTRY_VERIFY_WITH_TIMEOUT(
        window.LogText().find("00 1A 2B 3C 4D 60\r\n") != std::string::npos &&
            window.LogText().compare(window.LogText().size() - 3, 3, "=> ") == 0 && box_shows_log(),
        5000);
    SaveScreenshot(&window, QStringLiteral("window_running.png"));

    Click(window, "IDC_RESET");
    QVERIFY(!window.IsPortOpen());
    const QJsonObject end = sim.Stop();
    QCOMPARE(end.value(QStringLiteral("devices_ok")).toInt(), 3);
    QCOMPARE(end.value(QStringLiteral("host_errors")).toInt(), 0);

    // Every byte the device wrote is in the log, in order, after the address START logged.
    const std::string prefix = "0:1a:2b:3c:4d:5e";
    QCOMPARE(window.LogText().substr(0, prefix.size()), prefix);
    QCOMPARE(Digest(window.LogText().substr(prefix.size())),
             end.value(QStringLiteral("out_digest")).toString());

    // The adapter is pulled out after one device and comes back two seconds later.
    QVERIFY(sim.Start({"--hangup-after", "1", "--replug", "--away", "2000", "--wait-open",
                       "--boot-pause", "20", "--command-time", "20", "--chunk", "1-40"}));
    Click(window, "IDC_START");
    auto* status = Control<QLabel>(window, "IDC_PORT_STATUS");
    QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
    QCOMPARE(catcher.banners.size(), 4);
    QVERIFY(status->text().startsWith("COM1 was lost"));
    QCOMPARE(States(window), QStringLiteral("000000|11011|0"));

    // Once the port is back the run goes on by itself, with the next address.
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 5, kDeviceTimeoutMs);
    QCOMPARE(catcher.banners.last(),
             QStringLiteral(" MAC Write Success \n(00:1A:2B:3C:4D:62)\n   "));
    // It is pulled out again after that device; END ends the wait and the window at once.
    QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
    Click(window, "IDC_END");
    QVERIFY(!window.isVisible());
    QVERIFY(!window.IsPortOpen());
    QVERIFY(catcher.messages.isEmpty());
  }
};

QTEST_MAIN(EndToEndTest)
#include "pelorus_end_to_end_test.moc"
