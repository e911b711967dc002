#include <QComboBox>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdint>
#include <string>

#include "tests/serial/console_server.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;

namespace {

constexpr int kDeviceTimeoutMs = 30000;
constexpr int kNoServer = -1;  // the device straight on the port

// The FNV-1a digest the simulated device keeps over every byte it writes.
QString Digest(const std::string& bytes) {
  std::uint64_t digest = 14695981039346656037ULL;
  for (const char byte : bytes) {
    digest = (digest ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
  }
  return QStringLiteral("%1").arg(digest, 16, 16, QLatin1Char('0'));
}

// The simulated bench (pelorus-devsim) behind a link in a temporary folder, with a report.
class SimulatedBench {
 public:
  SimulatedBench() { process_.setProcessChannelMode(QProcess::ForwardedErrorChannel); }
  ~SimulatedBench() { Stop(); }

  QString Link() const { return dir_.filePath(QStringLiteral("bench")); }
  // Starts a simulator and waits for its port to appear.
  bool Start(const QStringList& options) {
    QFile::remove(Report());
    process_.start(QStringLiteral(PELORUS_DEVSIM),
                   QStringList{"--link", Link(), "--report", Report(), "--seed", "7"} + options);
    return process_.waitForStarted() &&
           QTest::qWaitFor([this] { return QFileInfo::exists(Link()); }, 10000);
  }
  // Ends the simulator and returns the last event of its report, its summary.
  QJsonObject Stop() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      process_.waitForFinished(15000);
    }
    QFile file(Report());
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll().trimmed().split('\n').last()).object();
  }

 private:
  QString Report() const { return dir_.filePath(QStringLiteral("report.jsonl")); }

  QTemporaryDir dir_;
  QProcess process_;
};

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  void WholeBench_data() {
    QTest::addColumn<int>("accepter");
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("port");
    QTest::newRow("COM1") << kNoServer << QByteArray("PELORUS_COM1") << QStringLiteral(" COM-1 ");
    QTest::newRow("raw tcp on COM1") << static_cast<int>(ConsoleServer::Accepter::kTcp)
                                     << QByteArray("PELORUS_COM1") << QStringLiteral(" COM-1 ");
    // The ports from COM-6 on are the TELNET port, which here reaches a Telnet console.
    QTest::newRow("telnet on COM-6") << static_cast<int>(ConsoleServer::Accepter::kTelnet)
                                     << QByteArray("PELORUS_TELNET") << QStringLiteral(" COM-6 ");
  }

  // The bench the way an operator sees it, on the port itself and through a console server:
  // three devices, each announced in red with its address while the box shows the console up
  // to the read-back, the address stepping by one, the whole console in the log; RESET ends
  // the run. Then the port goes away during a run (the adapter pulled out, the console server
  // restarted): the status line tells which port went and that the run waits for it; once the
  // port is back the run goes on by itself with the next address. END or RESET ends the wait.
  void WholeBench() {
    QFETCH(int, accepter);
    QFETCH(QByteArray, variable);
    QFETCH(QString, port);
    SimulatedBench sim;
    ConsoleServer server;
    if (accepter == kNoServer) {
      qputenv(variable.constData(), sim.Link().toLocal8Bit());
    } else {
      // The server opens the device only when the window connects, so it may start first.
      QVERIFY2(
          server.Start(static_cast<ConsoleServer::Accepter>(accepter), sim.Link().toStdString()),
          server.Problem().c_str());
      qputenv(variable.constData(), QByteArray::fromStdString(server.Url()));
    }
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

    auto* ports = Control<QComboBox>(window, "IDC_PORT");
    ports->setCurrentIndex(ports->findText(port));
    QCOMPARE(ports->currentText(), port);
    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QTRY_VERIFY(window.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 3, 3 * kDeviceTimeoutMs);
    QCOMPARE(catcher.banners, (QStringList{" MAC Write Success \n(00:1A:2B:3C:4D:5E)\n   ",
                                           " MAC Write Success \n(00:1A:2B:3C:4D:5F)\n   ",
                                           " MAC Write Success \n(00:1A:2B:3C:4D:60)\n   "}));
    QVERIFY(all_red);
    QVERIFY(box_caught_up);
    QTRY_COMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:61"));

    // The device's prompt after the third dump is the last thing it prints before the next
    // device powers on, seconds later.
    QTRY_VERIFY_WITH_TIMEOUT(
        window.LogText().find("00 1A 2B 3C 4D 60\r\n") != std::string::npos &&
            window.LogText().compare(window.LogText().size() - 3, 3, "=> ") == 0 && box_shows_log(),
        5000);
    SaveScreenshot(&window, QStringLiteral("window_running.png"));

    Click(window, "IDC_RESET");
    QTRY_VERIFY(!window.IsPortOpen());
    const QJsonObject end = sim.Stop();
    QCOMPARE(end.value(QStringLiteral("devices_ok")).toInt(), 3);
    QCOMPARE(end.value(QStringLiteral("host_errors")).toInt(), 0);

    // Every byte the device wrote is in the log, in order, after the address START logged.
    const std::string prefix = "0:1a:2b:3c:4d:5e";
    QCOMPARE(window.LogText().substr(0, prefix.size()), prefix);
    QCOMPARE(Digest(window.LogText().substr(prefix.size())),
             end.value(QStringLiteral("out_digest")).toString());

    auto* status = Control<QLabel>(window, "IDC_PORT_STATUS");
    const QString lost = QString::fromLatin1(variable.mid(8)) + " was lost (";  // COM1, TELNET
    if (accepter == kNoServer) {
      // The adapter is pulled out after one device and comes back two seconds later, and
      // again after the next one.
      QVERIFY(sim.Start({"--hangup-after", "1", "--replug", "--away", "2000", "--wait-open",
                         "--boot-pause", "20", "--command-time", "20", "--chunk", "1-40"}));
      Click(window, "IDC_START");
      QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
      QCOMPARE(catcher.banners.size(), 4);
      QVERIFY(status->text().startsWith(lost));
      QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 5, kDeviceTimeoutMs);
      QCOMPARE(catcher.banners.last(),
               QStringLiteral(" MAC Write Success \n(00:1A:2B:3C:4D:62)\n   "));
      QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
      Click(window, "IDC_END");
      QVERIFY(!window.isVisible());
      QVERIFY(!window.IsPortOpen());
    } else {
      // The server goes after a device and is back at once; it goes again, and RESET comes
      // before it is back.
      QVERIFY(sim.Start(
          {"--wait-open", "--boot-pause", "20", "--command-time", "20", "--power-cycle", "500"}));
      Click(window, "IDC_START");
      QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 4, kDeviceTimeoutMs);
      server.Stop();
      QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
      QVERIFY(status->text().startsWith(lost + QString::fromStdString(server.Url())));
      QVERIFY2(server.Restart(), server.Problem().c_str());
      QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 5, kDeviceTimeoutMs);
      QCOMPARE(catcher.banners.last(),
               QStringLiteral(" MAC Write Success \n(00:1A:2B:3C:4D:62)\n   "));
      QVERIFY(!status->isVisible());
      server.Stop();
      QTRY_VERIFY_WITH_TIMEOUT(status->isVisible(), kDeviceTimeoutMs);
      Click(window, "IDC_RESET");
      QVERIFY(!status->isVisible());
      QVERIFY2(server.Restart(), server.Problem().c_str());
      QTest::qWait(4000);  // twice the longest back-off between tries of a console server
      QVERIFY(!window.IsPortOpen());
      QCOMPARE(catcher.banners.size(), 5);
    }
    QVERIFY(catcher.messages.isEmpty());
  }

  // Telnet's own byte, 0xFF, in a device's console: it arrives in the log once, as the device
  // sent it, however the server escaped it on the way.
  void ByteFFArrivesOnceInTheLog() {
    PtyPair device("PELORUS_COM2");  // the server's device; the window's COM1 is the server
    QVERIFY(device.ok());
    ConsoleServer server;
    QVERIFY2(server.Start(ConsoleServer::Accepter::kTelnet, qgetenv("PELORUS_COM2").toStdString()),
             server.Problem().c_str());
    qputenv("PELORUS_COM1", QByteArray::fromStdString(server.Url()));
    CPELORUSDlg window;
    window.show();
    ModalCatcher catcher;
    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QTRY_VERIFY(window.IsPortOpen());
    const std::string console = "\xff boot \xff\xff\r\n";
    QVERIFY(device.Send(console));
    QTRY_VERIFY(window.LogText().find("\r\n") != std::string::npos);
    QCOMPARE(window.LogText(), "0:1a:2b:3c:4d:5e" + console);
    Click(window, "IDC_RESET");
  }
};

QTEST_MAIN(EndToEndTest)
#include "pelorus_end_to_end_test.moc"
