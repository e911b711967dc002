// A line of several windows on one PostgreSQL pool, each window a process of its own as on a
// real line, each on its own simulated device. The test binary plays the windows too: run with
// --station-window LOCATION STATION LINK it is one window that starts its run and closes every
// banner and message itself.
#include <signal.h>

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <map>
#include <regex>
#include <set>
#include <vector>

#include "../pool/pool_store.h"
#include "pool/address_pool.h"
#include "pool/transcript.h"
#include "ui/pelorus_dlg.h"
#include "ui_test_support.h"

using namespace pelorus;
using namespace pelorus::testing;
using pool::AddressPool;
using pool::AddressRecord;
using pool::AddressState;

namespace {

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
constexpr int kTimeoutMs = 60000;

int RunStationWindow(int argc, char** argv) {
  QApplication application(argc, argv);
  qputenv("PELORUS_COM1", argv[4]);
  std::string error;
  auto station = RunStation::Open({argv[2], AddressPool::kDefaultName, argv[3], nullptr}, &error);
  if (!station) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  CPELORUSDlg window(std::move(station));
  window.show();
  ModalCatcher catcher;
  QTimer::singleShot(0, [&] {
    Click(window, "IDC_START");
    if (!QTest::qWaitFor([&] { return window.IsPortOpen(); }, 10000)) {
      QCoreApplication::exit(3);
    }
  });
  return application.exec();
}

// One window and its device, each a process of its own; the device behind a link in dir.
class Station {
 public:
  Station(const QTemporaryDir& dir, QString name, std::string location)
      : name_(std::move(name)),
        location_(std::move(location)),
        link_(dir.filePath(QString(name_).replace('/', '_'))) {}
  ~Station() {
    for (QProcess* p : {&window_, &device_}) {
      p->kill();
      p->waitForFinished(10000);
    }
  }

  bool StartDevice(const QStringList& options) {
    device_.kill();
    device_.waitForFinished(10000);
    device_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    device_.start(QStringLiteral(PELORUS_DEVSIM),
                  QStringList{"--link", link_, "--wait-open", "--no-delays", "--interrupt-wait",
                              "forever", "--any-address", "--quiet"} +
                      options);
    return device_.waitForStarted() &&
           QTest::qWaitFor([this] { return QFileInfo::exists(link_); }, 10000);
  }
  bool StartWindow() {
    window_.setProcessChannelMode(QProcess::ForwardedChannels);
    window_.start(QCoreApplication::applicationFilePath(),
                  {"--station-window", QString::fromStdString(location_), name_, link_});
    return window_.waitForStarted();
  }
  // The window dies at once, as a process does when the PC loses power.
  void KillWindow() {
    ::kill(static_cast<pid_t>(window_.processId()), SIGKILL);
    window_.waitForFinished(10000);
  }
  const QString& name() const { return name_; }
  const QString& link() const { return link_; }

 private:
  QString name_;
  std::string location_;
  QString link_;
  QProcess device_;
  QProcess window_;
};

// The record, address by address.
std::map<Mac48, AddressRecord> Record(AddressPool& pool) {
  std::map<Mac48, AddressRecord> record;
  std::string error;
  pool.Export(
      AddressPool::kDefaultName, [&](const AddressRecord& r) { record[r.address] = r; }, &error);
  return record;
}

// The station's addresses in that state, ascending.
std::vector<Mac48> Addresses(AddressPool& pool, const QString& station, AddressState state) {
  std::vector<Mac48> found;
  for (const auto& [address, r] : Record(pool)) {
    if (r.station == station.toStdString() && r.state == state) {
      found.push_back(address);
    }
  }
  return found;
}

}  // namespace

class PoolLineTest : public QObject {
  Q_OBJECT

 private slots:
  // Two windows on two benches draw from one pool: every address once, each verified with its
  // station and read-back. Then one window dies between the written mark and the read-back;
  // restarted as the same station, it puts that board's attempt on record as ended with the
  // window and gives its next device a new address: the one that went into the unconfirmed
  // board stays on record as written, and no window ever gets it again.
  void TwoWindowsOnePoolAndAWindowThatDies() {
    PoolStore store("postgres");
    QVERIFY2(!store.location().empty(), store.error().c_str());
    std::string error;
    auto pool = AddressPool::Open(store.location(), true, &error);
    QVERIFY2(pool && pool->Create(AddressPool::kDefaultName, kFirst, kFirst + 99, &error),
             error.c_str());
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", dir.path().toUtf8());
    Station a(dir, QStringLiteral("bench1/COM1"), store.location());
    Station b(dir, QStringLiteral("bench2/COM1"), store.location());
    // a's fourth device takes no address command: the address is on record as written, and
    // no read-back can ever come.
    QVERIFY(a.StartDevice({"--no-answer", "4:write"}));
    QVERIFY(b.StartDevice({}));
    QVERIFY(a.StartWindow());
    QVERIFY(b.StartWindow());

    QTRY_VERIFY_WITH_TIMEOUT(Addresses(*pool, a.name(), AddressState::kVerified).size() == 3 &&
                                 Addresses(*pool, a.name(), AddressState::kWritten).size() == 1 &&
                                 Addresses(*pool, b.name(), AddressState::kVerified).size() >= 3,
                             kTimeoutMs);
    a.KillWindow();
    const std::vector<Mac48> written = Addresses(*pool, a.name(), AddressState::kWritten);
    QCOMPARE(written.size(), std::size_t{1});
    const Mac48 lost = written.front();

    QVERIFY(a.StartDevice({}));
    QVERIFY(a.StartWindow());
    QTRY_VERIFY_WITH_TIMEOUT(Addresses(*pool, a.name(), AddressState::kVerified).size() >= 5 &&
                                 Addresses(*pool, b.name(), AddressState::kVerified).size() >= 5,
                             kTimeoutMs);

    const auto record = Record(*pool);
    QCOMPARE(QString::fromStdString(record.at(lost).station), a.name());
    QCOMPARE(record.at(lost).state, AddressState::kWritten);
    QCOMPARE(record.at(lost).attempts, 1);
    // The restarted window found the board it had in hand when it died.
    std::vector<pool::Attempt> history;
    QVERIFY(pool->History(lost, &history, &error));
    QCOMPARE(history.size(), std::size_t{1});
    QCOMPARE(history[0].outcome, pool::AttemptOutcome::kWindowEnded);
    std::set<std::string> readbacks;
    for (const auto& [address, r] : record) {
      if (r.state == AddressState::kVerified) {
        QVERIFY(r.station == a.name().toStdString() || r.station == b.name().toStdString());
        QCOMPARE(r.readback, "1fd0000c: " + FormatMac48(address, ' '));
        QVERIFY(readbacks.insert(r.readback).second);
      }
    }
  }

  void EveryAttemptOnRecord_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgres") << QStringLiteral("postgres");
  }

  // Four boards, the second reading back another address: four attempts on record, verified,
  // wrong read-back, verified, verified, the second board's address spent; their transcripts
  // hold, in order, every byte the boards printed up to the last read-back and every byte the
  // window sent them.
  void EveryAttemptOnRecord() {
    QFETCH(QString, kind);
    PoolStore store(kind.toStdString());
    QVERIFY2(!store.location().empty(), store.error().c_str());
    std::string error;
    auto pool = AddressPool::Open(store.location(), true, &error);
    QVERIFY2(pool && pool->Create(AddressPool::kDefaultName, kFirst, kFirst + 99, &error),
             error.c_str());
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", dir.path().toUtf8());
    Station bench(dir, QStringLiteral("bench9/COM1"), store.location());
    QVERIFY(bench.StartDevice({"--devices", "4", "--wrong-readback", "2"}));
    qputenv("PELORUS_COM1", bench.link().toLocal8Bit());
    auto station = RunStation::Open(
        {store.location(), AddressPool::kDefaultName, "bench9/COM1", nullptr}, &error);
    QVERIFY2(station, error.c_str());
    CPELORUSDlg window(std::move(station));
    window.show();
    ModalCatcher catcher;
    Click(window, "IDC_START");
    QTRY_VERIFY(window.IsPortOpen());
    std::vector<pool::Attempt> attempts;
    const auto recorded = [&] {
      attempts.clear();
      pool->ExportAttempts(
          AddressPool::kDefaultName, "", "", [&](const pool::Attempt& a) { attempts.push_back(a); },
          &error);
      return attempts.size() == 4;
    };
    QTRY_VERIFY_WITH_TIMEOUT(recorded(), kTimeoutMs);
    QCOMPARE(catcher.banners.size(), 3);
    Click(window, "IDC_RESET");

    QStringList outcomes;
    std::string device;
    std::string host;
    std::string expected_host;
    for (const pool::Attempt& a : attempts) {
      outcomes << pool::OutcomeName(a.outcome);
      QVERIFY(a.address && !a.code_at.empty() && !a.written_at.empty());
      std::string encoded;
      std::vector<pool::Transcript::Piece> pieces;
      std::uint64_t cut = 0;
      QVERIFY(pool->TranscriptOf(a.id, &encoded, &error));
      QVERIFY(pool::Transcript::Decode(encoded, &pieces, &cut, &error));
      for (const auto& piece : pieces) {
        (piece.direction == pool::Transcript::Direction::kFromDevice ? device : host) +=
            piece.bytes;
      }
      host += "|";
      expected_host += "\x03macprog2 " + FormatMac48(*a.address) + "\nd -b -p 0x1fd0000c 6\n|";
    }
    QCOMPARE(outcomes, (QStringList{"verified", "wrong read-back", "verified", "verified"}));
    QVERIFY(*attempts[1].address != *attempts[2].address);
    QCOMPARE(host, expected_host);
    // The log holds the boards' bytes after the address START logged, with the window's own
    // notes between them.
    static const std::regex notes("\r\n\\[[^\\]]*\\]\r\n");
    const std::string console = std::regex_replace(window.LogText(), notes, "");
    QVERIFY(!device.empty() && console.find(device) < 20);
  }
};

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--station-window") {
    return RunStationWindow(argc, argv);
  }
  QApplication application(argc, argv);
  PoolLineTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "pool_line_test.moc"
