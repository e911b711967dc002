#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdint>
#include <string>

#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;

namespace {

constexpr int kDeviceTimeoutMs = 30000;

// The FNV-1a digest the simulated device keeps over every byte it writes.
QString Digest(const std::string& bytes) {
  std::uint64_t digest = 14695981039346656037ULL;
  for (const char byte : bytes) {
    digest = (digest ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
  }
  return QStringLiteral("%1").arg(digest, 16, 16, QLatin1Char('0'));
}

// The simulated bench behind a link in a temporary folder, which PELORUS_COM1 names.
class Simulator {
 public:
  explicit Simulator(const QTemporaryDir& dir)
      : link_(dir.filePath(QStringLiteral("com1"))),
        report_(dir.filePath(QStringLiteral("report.jsonl"))) {
    qputenv("PELORUS_COM1", link_.toLocal8Bit());
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  }
  ~Simulator() { Stop(); }

  // Starts a simulator and waits for its port to appear.
  bool Start(const QStringList& options) {
    QFile::remove(report_);
    process_.start(QStringLiteral(PELORUS_DEVSIM),
                   QStringList{"--link", link_, "--report", report_, "--seed", "7"} + options);
    return process_.waitForStarted() &&
           QTest::qWaitFor([this] { return QFileInfo::exists(link_); }, 10000);
  }
  // Ends the simulator and returns the last event of its report, its summary.
  QJsonObject Stop() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      process_.waitForFinished(15000);
    }
    QFile file(report_);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll().trimmed().split('\n').last()).object();
  }

 private:
  QString link_;
  QString report_;
  QProcess process_;
};

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  // The bench the way an operator sees it: three devices, each announced in red with its
  // address while the box shows the console up to the read-back, the address stepping by
  // one, the whole console in the log; RESET ends the run. Then the line hangs up after a
  // device: the operator is told which port went, the window stops as on RESET, START works
  // again once the port is back, and END closes the window.
  void WholeBench() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Simulator sim(dir);
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

    QVERIFY(sim.Start(
        {"--hangup-after", "1", "--boot-pause", "20", "--command-time", "20", "--chunk", "1-40"}));
    Click(window, "IDC_START");
    QTRY_COMPARE_WITH_TIMEOUT(catcher.messages.size(), 1, kDeviceTimeoutMs);
    QCOMPARE(catcher.banners.size(), 4);
    QCOMPARE(catcher.messages[0],
             QStringLiteral("COM1 was lost... check the cable and press START again"));
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(States(window), QStringLiteral("111111|00101|1"));
    sim.Stop();

    // The port is back (a new simulator behind the same name).
    QVERIFY(sim.Start({"--boot-pause", "20", "--command-time", "20"}));
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners.size(), 5, kDeviceTimeoutMs);
    Click(window, "IDC_END");
    QVERIFY(!window.isVisible());
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(catcher.messages.size(), 1);
  }
};

QTEST_MAIN(EndToEndTest)
#include "pelorus_end_to_end_test.moc"
