#include "ui/pelorus_app.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMessageBox>
#include <cstdio>
#include <iostream>
#include <utility>

#include "pelorus_version.h"
#include "serial/port_inventory.h"
#include "ui/pelorus_dlg.h"

namespace pelorus {
namespace {

QString FromEnvironment(const char* variable) {
  return qEnvironmentVariable(variable);
}

}  // namespace

int CPELORUSApp::ParseCommandLine(int argc, char** argv, Options* options) {
  // The parser's help names the program from the application object, so one lives for the
  // parse; the window's own comes later, and only when a window is to open.
  QCoreApplication core(argc, argv);
  QCoreApplication::setApplicationName(CPELORUSDlg::kCaption);
  QCoreApplication::setApplicationVersion(QStringLiteral(PELORUS_VERSION_TEXT));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Writes consecutive MAC addresses into devices over their serial consoles.\n"
      "With --pool, the addresses come from an address pool (see pelorus-pool), each issued "
      "once and kept on record."));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption pool(
      QStringLiteral("pool"),
      QStringLiteral("Take the addresses from the pool at LOCATION: a SQLite file, or a "
                     "postgresql:// URI or libpq key=value string (default: $PELORUS_POOL)."),
      QStringLiteral("LOCATION"));
  const QCommandLineOption pool_name(
      QStringLiteral("pool-name"),
      QStringLiteral("The pool's name within its store (default: default)."),
      QStringLiteral("NAME"), QString::fromLatin1(pool::AddressPool::kDefaultName));
  const QCommandLineOption station(
      QStringLiteral("station"),
      QStringLiteral("This window's station name in the pool's record (default: "
                     "$PELORUS_STATION, else the host's name and the device the port leads "
                     "to, e.g. bench3:/dev/serial/by-id/usb-FTDI_...). One window at a time "
                     "runs a station."),
      QStringLiteral("NAME"));
  const QCommandLineOption list_ports(
      QStringLiteral("list-ports"),
      QStringLiteral("Print the device behind each port (COM1 ... COM5, TELNET) and whether it "
                     "can be opened, and every serial device found, then exit."));
  const QCommandLineOption scrollback(
      QStringLiteral("scrollback"),
      QStringLiteral("How many lines of the console the log box keeps (default: %1); older "
                     "lines leave it, as from a terminal's scroll-back. It keeps 8 MB of text "
                     "at most, whatever the count.")
          .arg(LogBinding::Scrollback::kDefaultLines),
      QStringLiteral("LINES"));
  parser.addOptions({pool, pool_name, station, scrollback, list_ports});

  if (!parser.parse(QCoreApplication::arguments())) {
    std::fprintf(stderr, "pelorus: %s (try --help)\n", qPrintable(parser.errorText()));
    return 1;
  }
  if (parser.isSet(help)) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::printf("pelorus %s\n", PELORUS_VERSION_TEXT);
    return 0;
  }
  if (parser.isSet(list_ports)) {
    PortInventory().Print(std::cout);
    return 0;
  }
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "pelorus: unexpected argument %s (try --help)\n",
                 qPrintable(parser.positionalArguments().first()));
    return 1;
  }
  if (parser.isSet(scrollback)) {
    bool number = false;
    const qulonglong lines = parser.value(scrollback).toULongLong(&number);
    if (!number || lines == 0) {
      std::fprintf(stderr, "pelorus: --scrollback takes a number of lines, not %s (try --help)\n",
                   qPrintable(parser.value(scrollback)));
      return 1;
    }
    options->scrollback = static_cast<std::size_t>(lines);
  }
  const QString location =
      parser.isSet(pool) ? parser.value(pool) : FromEnvironment("PELORUS_POOL");
  options->use_pool = !location.isEmpty();
  options->pool.location = location.toStdString();
  options->pool.name = parser.value(pool_name).toStdString();
  options->pool.station =
      (parser.isSet(station) ? parser.value(station) : FromEnvironment("PELORUS_STATION"))
          .toStdString();
  return -1;
}

CPELORUSApp::CPELORUSApp() = default;

CPELORUSApp::CPELORUSApp(Options options) : options_(std::move(options)) {}

int CPELORUSApp::InitInstance() {
  QCoreApplication::setApplicationName(CPELORUSDlg::kCaption);
  QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  QCoreApplication::setApplicationVersion(QStringLiteral(PELORUS_VERSION_TEXT));

  std::unique_ptr<RunStation> station;
  if (options_.use_pool) {
    std::string error;
    // The line sees what the window's station is doing; the publisher says "idle" as the
    // program ends, once the window and its run are gone.
    options_.pool.publisher =
        std::make_shared<pool::StatePublisher>(options_.pool.location, options_.pool.name);
    station = RunStation::Open(options_.pool, &error);
    if (!station) {
      QMessageBox box(QMessageBox::Critical, CPELORUSDlg::kCaption,
                      QStringLiteral("PELORUS cannot use its address pool, so it does not open."),
                      QMessageBox::Ok);
      box.setInformativeText(QString::fromStdString(error));
      box.exec();
      return 1;
    }
  }
  CPELORUSDlg dialog(std::move(station));
  dialog.SetScrollback(options_.scrollback);
  dialog.exec();
  return 0;
}

}  // namespace pelorus
