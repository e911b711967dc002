#include "ui/pelorus_dlg.h"

#include <QPixmap>
#include <algorithm>
#include <utility>

#include "serial/port_names.h"
#include "serial/port_settings.h"
#include "ui/log_font.h"
#include "ui/window_template.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {
namespace {

// Caption and modal frame, no system menu and so no close box.
constexpr Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

std::unique_ptr<Ui::CPELORUSDlg> SetUpTemplate(QDialog* dialog) {
  InitWindowResources();
  auto ui = std::make_unique<Ui::CPELORUSDlg>();
  ui->setupUi(dialog);
  dialog->setFixedSize(dialog->size());
  return ui;
}

}  // namespace

const QString CPELORUSDlg::kCaption = QStringLiteral("PELORUS");

CPELORUSDlg::CPELORUSDlg(std::unique_ptr<PoolStation> station, QWidget* parent)
    : QDialog(parent, kWindowFlags),
      ui_(SetUpTemplate(this)),
      banner_(this),
      fields_(*this),
      dialogue_(fields_, *this),
      octet_boxes_{ui_->IDC_OCTET1, ui_->IDC_OCTET2, ui_->IDC_OCTET3,
                   ui_->IDC_OCTET4, ui_->IDC_OCTET5, ui_->IDC_OCTET6},
      log_(*ui_->IDC_LOG),
      station_(std::move(station)) {
  for (const int size : {16, 32, 48, 256}) {
    icon_.addFile(QStringLiteral(":/pelorus/icon_%1.png").arg(size));
  }
  for (QLineEdit* box : octet_boxes_) {
    HoldUpperCase(*box);
    box->setReadOnly(station_ != nullptr);
  }
  WireMessages();
  OnInitDialog();
  if (station_) {
    ui_->IDC_PREV->setEnabled(false);
    ui_->IDC_NEXT->setEnabled(false);
    ui_->IDC_POOL_STATUS->show();
    connect(ui_->IDC_PORT, &QComboBox::currentTextChanged, this, [this] { ShowStationAddress(); });
    ShowStationAddress();
    // The pool keeps each board attempt's console, so the log's note sends the operator there.
    scrollback_.elsewhere = "the board attempts' transcripts are in pool " + station_->Name() +
                            " (pelorus-pool history / transcript)";
  }
  log_.SetScrollback(scrollback_);
}

// The port closes while the window is still whole, so that the watcher never posts to a
// half-destroyed window.
CPELORUSDlg::~CPELORUSDlg() {
  comm_.Close();
}

// The window's message table: every operator command and every notification is bound here.
void CPELORUSDlg::WireMessages() {
  connect(ui_->IDC_START, &QPushButton::clicked, this, &CPELORUSDlg::OnStart);
  connect(ui_->IDC_RESET, &QPushButton::clicked, this, &CPELORUSDlg::OnReset);
  connect(ui_->IDC_END, &QPushButton::clicked, this, &CPELORUSDlg::OnEnd);
  connect(ui_->IDC_PREV, &QPushButton::clicked, this, &CPELORUSDlg::OnPrevAddress);
  connect(ui_->IDC_NEXT, &QPushButton::clicked, this, &CPELORUSDlg::OnNextAddress);
  for (int k = 1; k <= 6; ++k) {
    // textEdited, not textChanged: a store must never count as typing.
    connect(OctetBox(k), &QLineEdit::textEdited, this, [this, k] { OnOctetChange(k); });
  }
  connect(this, &CPELORUSDlg::PortDataPosted, this, &CPELORUSDlg::OnPortData, Qt::QueuedConnection);
  connect(this, &CPELORUSDlg::PortLostPosted, this, &CPELORUSDlg::OnPortLost, Qt::QueuedConnection);
  connect(this, &CPELORUSDlg::MessagePosted, this, &CPELORUSDlg::OnMessage, Qt::QueuedConnection);
}

bool CPELORUSDlg::OnInitDialog() {
  setWindowIcon(icon_);

  const QFont octet_font = MakeLogFont(kGulim, 80, 0, 700);
  for (QLineEdit* box : octet_boxes_) {
    box->setFont(octet_font);
  }
  const QFont button_font = MakeLogFont(kGulim, 19, 13, 700);
  for (QWidget* control : std::initializer_list<QWidget*>{ui_->IDC_START, ui_->IDC_RESET,
                                                          ui_->IDC_END, ui_->IDC_PORT}) {
    control->setFont(button_font);
  }

  for (int n = 1; n <= 9; ++n) {
    InsertSorted(*ui_->IDC_PORT, QStringLiteral(" COM-%1 ").arg(n));
  }
  ShowDevicesAsTips(*ui_->IDC_PORT);
  ui_->IDC_PORT->setCurrentIndex(0);
  StoreFields();

  ui_->IDC_PREV->setFont(button_font);
  ui_->IDC_NEXT->setFont(button_font);

  comm_.SetNotifyWindow(this);
  port_number_ = 1;
  parity_ = 0;
  baud_index_ = 6;
  data_bits_index_ = 1;
  stop_bits_index_ = 0;
  flow_index_ = 0;

  const QPixmap picture = MappedPicture(palette());
  ui_->IDC_PICTURE->setPixmap(picture);
  ui_->IDC_PICTURE->resize(picture.size());

  StoreFields();
  ui_->IDC_OCTET1->setFocus();
  return true;
}

void CPELORUSDlg::SetScrollback(std::size_t lines) {
  scrollback_.lines = lines;
  log_.SetScrollback(scrollback_);
}

void CPELORUSDlg::SetWaitFunction(WaitFunction wait) {
  gate_.SetWaitFunction(std::move(wait));
}

QLineEdit* CPELORUSDlg::OctetBox(int k) const {
  return octet_boxes_[static_cast<std::size_t>(k - 1)];
}

void CPELORUSDlg::LoadFields() {
  for (int k = 1; k <= 6; ++k) {
    fields_.Octet(k) = OctetBox(k)->text().toLatin1().toStdString();
  }
  port_text_ = ui_->IDC_PORT->currentText().toLatin1().toStdString();
  log_.Load(log_text_);
}

void CPELORUSDlg::StoreFields() {
  for (int k = 1; k <= 6; ++k) {
    const QString text = QString::fromLatin1(fields_.Octet(k)).toUpper();
    if (OctetBox(k)->text() != text) {
      OctetBox(k)->setText(text);
    }
  }
  const QString port = QString::fromLatin1(port_text_);
  int index = port.isEmpty() ? 0 : -1;
  for (int i = 0; index < 0 && i < ui_->IDC_PORT->count(); ++i) {
    if (ui_->IDC_PORT->itemText(i).startsWith(port, Qt::CaseInsensitive)) {
      index = i;
    }
  }
  if (index >= 0 && index != ui_->IDC_PORT->currentIndex()) {
    ui_->IDC_PORT->setCurrentIndex(index);
  }
  log_.Store(log_text_);
}

void CPELORUSDlg::ScrollLogToEnd() {
  log_.ScrollToEnd();
}

void CPELORUSDlg::AppendLog(const char* bytes, std::size_t count) {
  log_text_.append(bytes, count);
  if (station_) {
    attempts_.FromDevice(bytes, count);
  }
  console_bytes_ += count;
}

void CPELORUSDlg::Write(std::size_t count, const char* bytes) {
  // Once the operator has ended the run, not one more byte goes to the device.
  if (!gate_.Stopped()) {
    comm_.Write(count, bytes);
    if (station_) {
      attempts_.ToDevice(bytes, count);
    }
  }
}

void CPELORUSDlg::SetAlert(const std::string& text) {
  banner_.SetAlert(text);
}

void CPELORUSDlg::DoModal() {
  banner_.DoModal();
}

// The dialogue's pauses are part of its timing towards the device, and the watcher stays
// held meanwhile; the window keeps painting, the box catching up to the line being answered.
// The pause counts from here, so bringing the box up to date is part of it.
void CPELORUSDlg::BeginWait(std::chrono::milliseconds duration) {
  wait_from_ = PreciseWait::Clock::now();
  wait_duration_ = duration;
  log_.Store(log_text_);
}

bool CPELORUSDlg::EndWait() {
  return gate_.Wait(wait_duration_, wait_from_);
}

void CPELORUSDlg::StopRun(const std::string& reason) {
  gate_.StopChunkThen([this, reason] {
    if (running_) {
      OnReset();
    }
    MessageBox(QString::fromLatin1(reason), kCaption, QMessageBox::Warning);
  });
}

void CPELORUSDlg::done(int result) {
  CallOffOpening();
  if (gate_.InChunk()) {
    gate_.StopChunkThen([this, result] { done(result); });
    return;
  }
  port_return_.Stop();
  comm_.Close();
  FinishAttempt(pool::AttemptOutcome::kNoReadBack);
  QDialog::done(result);
}

void CPELORUSDlg::OnStart() {
  if (opening_) {
    return;
  }
  LoadFields();
  // With a pool the address is the pool's, leased once the port is open.
  const int result = station_ ? 0 : fields_.ValidateOctets();
  if (result < 0) {
    const int k = -result;
    // A well-formed first octet is refused for its group bit; say so, the box alone does not.
    const bool group = k == 1 && fields_.Octet(1).size() == 2 && (fields_.ParseOctet(1) & 1) != 0;
    const QString why = group ? QStringLiteral(
                                    "%1 as the first octet makes a group (broadcast "
                                    "or multicast) address, which no device may "
                                    "take: the first octet must be even.")
                                    .arg(QString::fromLatin1(fields_.Octet(1)))
                              : QString();
    fields_.Octet(k).clear();
    OctetBox(k)->setFocus();
    MessageBox(QStringLiteral("Wrong date (MAC%1)").arg(k), kCaption, QMessageBox::Warning, why);
    StoreFields();
    return;
  }

  port_number_ = PortNumberOf(port_text_, port_number_);
  if (station_ && !StartOnPool()) {
    return;
  }
  PortSettings settings{};
  settings.port = static_cast<std::uint8_t>(port_number_);
  settings.reserved = 0;
  settings.dataBits = kDataBitsTable[data_bits_index_];
  settings.flow = kFlowTable[flow_index_];
  settings.parity = static_cast<std::uint8_t>(parity_);
  settings.stopBits = kStopBitsTable[stop_bits_index_];
  settings.baudRate = kBaudTable[baud_index_];
  run_settings_ = settings;
  if (OpenPort(settings, false) != 1) {
    if (station_) {
      station_->Unclaim();
    }
    if (comm_.LastError().kind != PortError::Kind::kCancelled) {
      MessageBox(QString::asprintf("COM%d is not ready... you must change com port", port_number_),
                 kCaption, QMessageBox::Warning, OpenFailureDetail());
    }
    return;
  }

  dialogue_.Restart();
  attempts_.Reset();
  address_text_ = fields_.FormatAddressForLog();
  log_text_ += address_text_;
  StoreFields();
  ShowRunState(true);
  // The boxes and START are disabled now; the window itself takes the keys, so that none
  // lands on a button.
  setFocus();
}

// During a chunk the dialogue is stopped at once, so that nothing more goes to the device;
// the port closes as soon as the dialogue has let go of the chunk.
void CPELORUSDlg::OnReset() {
  CallOffOpening();
  if (gate_.InChunk()) {
    gate_.StopChunkThen([this] { OnReset(); });
    return;
  }
  ShowRunState(false);
  port_return_.Stop();
  ShowPortStatus({});
  comm_.Close();
  if (station_) {
    FinishAttempt(pool::AttemptOutcome::kNoReadBack);
    station_->Unclaim();
  }
  StoreFields();
  OctetBox(1)->setFocus();
}

void CPELORUSDlg::OnEnd() {
  CallOffOpening();
  if (gate_.InChunk()) {
    gate_.StopChunkThen([this] { OnEnd(); });
    return;
  }
  comm_.Close();
  close();
}

void CPELORUSDlg::OnPrevAddress() {
  StepByHand(-1);
}

void CPELORUSDlg::OnNextAddress() {
  StepByHand(+1);
}

// A step by hand during a chunk comes after it, as if the window had been busy: the chunk
// works with the address it started with.
void CPELORUSDlg::StepByHand(int direction) {
  if (opening_) {
    return;
  }
  gate_.OutsideChunk([this, direction] {
    if (fields_.StepAddress(direction)) {
      return;
    }
    QString text = QStringLiteral(
                       "The address %1 %2 is a group (multicast) address, which no "
                       "device may take.")
                       .arg(direction > 0 ? QStringLiteral("after") : QStringLiteral("before"),
                            QString::fromLatin1(fields_.Joined(":")));
    if (running_) {
      OnReset();
      text += QStringLiteral(" The run has stopped.");
    }
    MessageBox(text, kCaption, QMessageBox::Warning);
  });
}

void CPELORUSDlg::OnOctetChange(int k) {
  LoadFields();
  if (fields_.Octet(k).size() == 2) {
    if (k < 6) {
      OctetBox(k + 1)->setFocus();
    } else {
      ui_->IDC_START->setFocus();
    }
  }
  StoreFields();
}

// One table for both run states: Running locks the address and the port, Stopped the
// reverse; END stays enabled in every state.
void CPELORUSDlg::ShowRunState(bool running) {
  running_ = running;
  for (QLineEdit* box : octet_boxes_) {
    box->setEnabled(!running);
  }
  ui_->IDC_PREV->setEnabled(running && !station_);
  ui_->IDC_NEXT->setEnabled(running && !station_);
  ui_->IDC_RESET->setEnabled(running);
  ui_->IDC_START->setEnabled(!running);
  ui_->IDC_PORT->setEnabled(!running);
}

int CPELORUSDlg::MessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon,
                            const QString& detail, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, caption, text, buttons, this);
  box.setInformativeText(detail);
  if (buttons.testFlag(QMessageBox::No)) {
    box.setDefaultButton(QMessageBox::No);
  }
  return box.exec();
}

}  // namespace pelorus
