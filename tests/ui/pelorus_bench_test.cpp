#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdint>
#include <string>

#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using pelorus::CMSG;
using pelorus::CPELORUSDlg;
using pelorus::testing::Boxes;
using pelorus::testing::Click;
using pelorus::testing::ModalCatcher;
using pelorus::testing::TypeAddress;

namespace {

constexpr int kDeviceTimeoutMs = 30000;

bool HasRedText(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y) == QColor(255, 0, 0)) {
        return true;
      }
    }
  }
  return false;
}

// The FNV-1a digest the simulated device keeps over every byte it writes.
QString Digest(const std::string& bytes) {
  std::uint64_t digest = 14695981039346656037ULL;
  for (const char byte : bytes) {
    digest = (digest ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
  }
  return QStringLiteral("%1").arg(digest, 16, 16, QLatin1Char('0'));
}

QJsonObject EndOfReport(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return {};
  }
  QJsonObject end;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const QJsonObject event = QJsonDocument::fromJson(line).object();
    if (event.value(QStringLiteral("event")).toString() == QStringLiteral("end")) {
      end = event;
    }
  }
  return end;
}

// The simulated bench behind a link in a temporary folder, which PELORUS_COM1 names.
class Simulator {
 public:
  explicit Simulator(const QTemporaryDir& dir)
      : link_(dir.filePath(QStringLiteral("com1"))),
        report_(dir.filePath(QStringLiteral("report.jsonl"))) {
    qputenv("PELORUS_COM1", link_.toLocal8Bit());
  }
  ~Simulator() { Stop(); }

  bool Start(const QStringList& options) {
    QFile::remove(report_);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(PELORUS_DEVSIM),
                   QStringList{"--link", link_, "--report", report_, "--seed", "7"} + options);
    return process_.waitForStarted();
  }
  bool LinkExists() const { return QFileInfo::exists(link_); }
  // Ends the simulator and returns the last line of its report.
  QJsonObject Stop() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      process_.waitForFinished(15000);
    }
    return EndOfReport(report_);
  }
  QProcess& process() { return process_; }

 private:
  QString link_;
  QString report_;
  QProcess process_;
};

}  // namespace

class BenchTest : public QObject {
  Q_OBJECT

 private slots:
  // Three devices, one after another, the way an operator sees them: each announced in red
  // with its address, the address stepping by one, and the whole console in the log.
  void ThreeDevicesThenResetAndEnd() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Simulator bench(dir);
    QVERIFY(bench.Start({"--wait-open", "--first", "00-1A-2B-3C-4D-5E", "--chunk", "1-40", "--gap",
                         "0-3", "--zeros", "20", "--noise", "20", "--boot-pause", "20",
                         "--command-time", "20", "--power-cycle", "3000"}));
    QTRY_VERIFY_WITH_TIMEOUT(bench.LinkExists(), 10000);

    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStringList announced;
    bool all_red = true;
    ModalCatcher catcher([&](QDialog* dialog) {
      if (auto* banner = qobject_cast<CMSG*>(dialog)) {
        announced << banner->Text();
        all_red = all_red && banner->IsAlert() && HasRedText(banner->grab().toImage());
        if (announced.size() == 1) {
          pelorus::testing::SaveScreenshot(banner, QStringLiteral("banner.png"));
        }
      }
    });

    TypeAddress(window, {"00", "1A", "2B", "3C", "4D", "5E"});
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners, 3, 3 * kDeviceTimeoutMs);
    QCOMPARE(announced, (QStringList{" MAC Write Success \n(00:1A:2B:3C:4D:5E)\n   ",
                                     " MAC Write Success \n(00:1A:2B:3C:4D:5F)\n   ",
                                     " MAC Write Success \n(00:1A:2B:3C:4D:60)\n   "}));
    QVERIFY(all_red);
    QCOMPARE(Boxes(window), QStringLiteral("00:1A:2B:3C:4D:61"));
    QVERIFY(catcher.messages.isEmpty());

    // The device's prompt after the third dump is the last thing it prints before the next
    // device powers on, seconds later.
    const std::string prefix = "0:1a:2b:3c:4d:5e";
    QTRY_VERIFY_WITH_TIMEOUT(
        window.LogText().find("00 1A 2B 3C 4D 60\r\n") != std::string::npos &&
            window.LogText().compare(window.LogText().size() - 3, 3, "=> ") == 0,
        5000);
    pelorus::testing::SaveScreenshot(&window, QStringLiteral("window_running.png"));

    Click(window, "IDC_RESET");
    QVERIFY(!window.IsPortOpen());
    const QJsonObject end = bench.Stop();
    QCOMPARE(end.value(QStringLiteral("devices_ok")).toInt(), 3);
    QCOMPARE(end.value(QStringLiteral("host_errors")).toInt(), 0);

    // Every byte the device wrote is in the log, in order, after the address START logged.
    const std::string& log = window.LogText();
    QCOMPARE(log.substr(0, prefix.size()), prefix);
    const std::string console = log.substr(prefix.size());
    QCOMPARE(static_cast<qint64>(console.size()),
             end.value(QStringLiteral("bytes_out")).toVariant().toLongLong());
    QCOMPARE(Digest(console), end.value(QStringLiteral("out_digest")).toString());
    QVERIFY(console.find('\0') != std::string::npos);

    Click(window, "IDC_END");
    QVERIFY(!window.isVisible());
  }

  // The device's line hangs up: the operator is told which port went, the window stops the
  // run as RESET does, and START works again once the port is back.
  void HangUpStopsTheRun() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Simulator bench(dir);
    QVERIFY(bench.Start(
        {"--hangup-after", "1", "--boot-pause", "20", "--command-time", "20", "--chunk", "1-40"}));
    QTRY_VERIFY_WITH_TIMEOUT(bench.LinkExists(), 10000);

    CPELORUSDlg window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalCatcher catcher;
    TypeAddress(window, {"02", "00", "00", "00", "00", "01"});
    Click(window, "IDC_START");
    QTRY_COMPARE_WITH_TIMEOUT(catcher.messages.size(), 1, kDeviceTimeoutMs);
    QCOMPARE(catcher.banners, 1);
    QCOMPARE(catcher.messages[0],
             QStringLiteral("COM1 was lost... check the cable and press START again"));
    QVERIFY(!window.IsPortOpen());
    QVERIFY(window.findChild<QPushButton*>(QStringLiteral("IDC_START"))->isEnabled());
    QVERIFY(!window.findChild<QPushButton*>(QStringLiteral("IDC_RESET"))->isEnabled());
    QVERIFY(window.findChild<QLineEdit*>(QStringLiteral("IDC_OCTET1"))->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(bench.process().state(), QProcess::NotRunning, 15000);
    QCOMPARE(bench.process().exitCode(), 0);

    // The port is back (a new simulator behind the same name).
    QVERIFY(bench.Start({"--boot-pause", "20", "--command-time", "20"}));
    QTRY_VERIFY_WITH_TIMEOUT(bench.LinkExists(), 10000);
    Click(window, "IDC_START");
    QVERIFY(window.IsPortOpen());
    QTRY_COMPARE_WITH_TIMEOUT(catcher.banners, 2, kDeviceTimeoutMs);
    Click(window, "IDC_RESET");
    QVERIFY(!window.IsPortOpen());
    QCOMPARE(catcher.messages.size(), 1);
  }
};

QTEST_MAIN(BenchTest)
#include "pelorus_bench_test.moc"
