#include <pty.h>
#include <unistd.h>

#include <QComboBox>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <string>

#include "simulated_bench.h"
#include "tests/serial/console_server.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;

namespace {

constexpr int kDeviceTimeoutMs = 30000;

}  // namespace

class ConsoleServerTest : public QObject {
  Q_OBJECT

 private slots:
  void WholeRunThroughTheConsoleServer_data() {
    QTest::addColumn<int>("accepter");
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("port");
    QTest::newRow("raw tcp on COM1") << static_cast<int>(ConsoleServer::Accepter::kTcp)
                                     << QByteArray("PELORUS_COM1") << QStringLiteral(" COM-1 ");
    // The ports from COM-6 on are the TELNET port, which now reaches a Telnet console.
    QTest::newRow("telnet on COM-6") << static_cast<int>(ConsoleServer::Accepter::kTelnet)
                                     << QByteArray("PELORUS_TELNET") << QStringLiteral(" COM-6 ");
  }

  // The bench with a console server between window and devices: three devices programmed
  // with consecutive addresses, each announced by its banner, and every byte the devices
  // wrote in the log, as with a local port.
  void WholeRunThroughTheConsoleServer() {
    QFETCH(int, accepter);
    QFETCH(QByteArray, variable);
    QFETCH(QString, port);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimulatedBench sim(dir);
    ConsoleServer server;
    // The server opens the device only when the window connects, so it may start first.
    QVERIFY2(server.Start(static_cast<ConsoleServer::Accepter>(accepter), sim.Link().toStdString(),
                          "9600n81"),
             server.Problem().c_str());
    qputenv(variable.constData(), QByteArray::fromStdString(server.Url()));
    QVERIFY(sim.Start({"--wait-open", "--first", "00-1A-2B-3C-4D-5E", "--chunk", "1-40", "--gap",
                       "0-3", "--zeros", "20", "--noise", "20", "--boot-pause", "20",
                       "--command-time", "20", "--power-cycle", "3000"}));

    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalCatcher catcher;
    auto* ports = Control<QComboBox>(window, "IDC_PORT");
    ports->setCurrentIndex(ports->findText(port));
    QCOMPARE(ports->currentText(), port);
    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 3, 3 * kDeviceTimeoutMs);
    QCOMPARE(catcher.banners, (QStringList{" MAC Write Success \n(00:1A:2B:3C:4D:5E)\n   ",
                                           " MAC Write Success \n(00:1A:2B:3C:4D:5F)\n   ",
                                           " MAC Write Success \n(00:1A:2B:3C:4D:60)\n   "}));
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:61"));
    // The prompt after the third dump is the last thing the device prints for seconds.
    QTRY_VERIFY_WITH_TIMEOUT(
        window.LogText().find("00 1A 2B 3C 4D 60\r\n") != std::string::npos &&
            window.LogText().compare(window.LogText().size() - 3, 3, "=> ") == 0,
        5000);

    Click(window, "IDC_RESET");
    QVERIFY(!window.IsPortOpen());
    const QJsonObject end = sim.Stop();
    QCOMPARE(end.value(QStringLiteral("devices_ok")).toInt(), 3);
    QCOMPARE(end.value(QStringLiteral("host_errors")).toInt(), 0);
    const std::string prefix = "0:1a:2b:3c:4d:5e";
    QCOMPARE(window.LogText().substr(0, prefix.size()), prefix);
    QCOMPARE(Digest(window.LogText().substr(prefix.size())),
             end.value(QStringLiteral("out_digest")).toString());
    QVERIFY(catcher.messages.isEmpty());
    qunsetenv(variable.constData());
  }

  // Telnet's own byte, 0xFF, in a device's console: it arrives in the log once, as the device
  // sent it, however the server escaped it on the way.
  void ByteFFArrivesOnceInTheLog() {
    int master = -1;
    int slave = -1;
    char device[256] = {};
    QVERIFY(openpty(&master, &slave, device, nullptr, nullptr) == 0);
    ConsoleServer server;
    QVERIFY2(server.Start(ConsoleServer::Accepter::kTelnet, device), server.Problem().c_str());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(server.Url()));
    CPELORUSDlg window;
    window.show();
    ModalCatcher catcher;
    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    const std::string console = "\xff boot \xff\xff\r\n";
    QCOMPARE(write(master, console.data(), console.size()), static_cast<ssize_t>(console.size()));
    QTRY_VERIFY(window.LogText().find("\r\n") != std::string::npos);
    QCOMPARE(window.LogText(), "0:1a:2b:3c:4d:5e" + console);
    Click(window, "IDC_RESET");
    close(master);
    close(slave);
    qunsetenv("PELORUS_COM1");
  }

  // The console server is restarted in the middle of a run: the window waits for it, and
  // once it is back (reached again after a back-off), the run goes on by itself with the next
  // address. RESET while it waits ends the wait.
  void RestartedConsoleServer() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimulatedBench sim(dir);
    ConsoleServer server;
    QVERIFY2(server.Start(ConsoleServer::Accepter::kTelnet, sim.Link().toStdString()),
             server.Problem().c_str());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(server.Url()));
    QVERIFY(sim.Start(
        {"--wait-open", "--boot-pause", "20", "--command-time", "20", "--power-cycle", "500"}));
    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalCatcher catcher;
    auto* status = Control<QLabel>(window, "IDC_PORT_STATUS");
    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 1, kDeviceTimeoutMs);

    server.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
    QVERIFY(status->text().startsWith("COM1 was lost (" + QString::fromStdString(server.Url())));
    QVERIFY2(server.Restart(), server.Problem().c_str());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 2, kDeviceTimeoutMs);
    QCOMPARE(catcher.banners.last(),
             QStringLiteral(" MAC Write Success \n(00:1A:2B:3C:4D:5F)\n   "));
    QVERIFY(!status->isVisible());

    server.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
    Click(window, "IDC_RESET");
    QVERIFY(!status->isVisible());
    QVERIFY2(server.Restart(), server.Problem().c_str());
    QTest::qWait(2 * PortReturn::kLastBackOff.count());
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(catcher.banners.size(), 2);
    QVERIFY(catcher.messages.isEmpty());
    qunsetenv("PELORUS_COM1");
  }
};

QTEST_MAIN(ConsoleServerTest)
#include "console_server_test.moc"
