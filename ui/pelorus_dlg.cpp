#include "ui/pelorus_dlg.h"

#include <QPixmap>
#include <algorithm>
#include <utility>

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

CPELORUSDlg::CPELORUSDlg(std::unique_ptr<RunStation> station, QWidget* parent)
    : QDialog(parent, kWindowFlags),
      ui_(SetUpTemplate(this)),
      banner_(this),
      fields_(*this),
      octet_boxes_{ui_->IDC_OCTET1, ui_->IDC_OCTET2, ui_->IDC_OCTET3,
                   ui_->IDC_OCTET4, ui_->IDC_OCTET5, ui_->IDC_OCTET6},
      log_(*ui_->IDC_LOG),
      pool_(station != nullptr),
      pool_name_(station ? station->Name() : std::string()),
      run_(std::make_unique<Run>(static_cast<RunObserver&>(*this), std::move(station))) {
  for (const int size : {16, 32, 48, 256}) {
    icon_.addFile(QStringLiteral(":/pelorus/icon_%1.png").arg(size));
  }
  for (QLineEdit* box : octet_boxes_) {
    HoldUpperCase(*box);
    box->setReadOnly(pool_);
  }
  WireMessages();
  OnInitDialog();
  if (pool_) {
    ui_->IDC_PREV->setEnabled(false);
    ui_->IDC_NEXT->setEnabled(false);
    ui_->IDC_POOL_STATUS->show();
    connect(ui_->IDC_PORT, &QComboBox::currentTextChanged, this, [this] { ShowStationAddress(); });
    ShowStationAddress();
    // The pool keeps each board attempt's console, so the log's note sends the operator there.
    scrollback_.elsewhere = "the board attempts' transcripts are in pool " + pool_name_ +
                            " (pelorus-pool history / transcript)";
  }
  log_.SetScrollback(scrollback_);
}

// The run ends and its thread is gone while the window is still whole, so that no news is
// queued for a half-destroyed window.
CPELORUSDlg::~CPELORUSDlg() {
  {
    std::lock_guard<std::mutex> lock(log_mutex_);
    closing_ = true;
  }
  log_taken_.notify_all();
  run_.reset();
}

// The window's message table: every operator command is bound here.
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
  connect(&banner_, &QDialog::finished, this, [this] { run_->BannerClosed(); });
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
  run_->SetWaitFunction(std::move(wait));
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

void CPELORUSDlg::done(int result) {
  run_->Stop();
  QDialog::done(result);
}

void CPELORUSDlg::OnStart() {
  if (running_) {
    return;
  }
  LoadFields();
  // With a pool the address is the pool's, leased by the run.
  const int result = pool_ ? 0 : fields_.ValidateOctets();
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
  PortSettings settings{};
  settings.port = static_cast<std::uint8_t>(port_number_);
  settings.reserved = 0;
  settings.dataBits = kDataBitsTable[data_bits_index_];
  settings.flow = kFlowTable[flow_index_];
  settings.parity = static_cast<std::uint8_t>(parity_);
  settings.stopBits = kStopBitsTable[stop_bits_index_];
  settings.baudRate = kBaudTable[baud_index_];
  std::array<std::string, 6> octets;
  for (int k = 1; k <= 6; ++k) {
    octets[static_cast<std::size_t>(k - 1)] = fields_.Octet(k);
  }
  if (pool_) {
    run_->SetDevice(StationDevice());
  }
  // The address and the port are locked from here: the run starts with what they show.
  before_start_ = {ui_->IDC_PREV->isEnabled(), ui_->IDC_NEXT->isEnabled(),
                   ui_->IDC_RESET->isEnabled()};
  ShowRunState(true);
  run_number_ = run_->Start(settings, octets);
  // The boxes and START are disabled now; the window itself takes the keys, so that none
  // lands on a button.
  setFocus();
}

// The run stops at once: nothing more goes to the device, and the run lets go of its port as
// soon as its thread can.
void CPELORUSDlg::OnReset() {
  run_->Stop();
  ShowStopped();
}

// The Stopped state after a run: the status lines about its port and store go, and the
// operator is back in the first octet box.
void CPELORUSDlg::ShowStopped() {
  ShowRunState(false);
  port_status_.clear();
  store_status_.clear();
  ShowStatusLine();
  StoreFields();
  OctetBox(1)->setFocus();
}

void CPELORUSDlg::OnEnd() {
  close();
}

void CPELORUSDlg::OnPrevAddress() {
  StepByHand(-1);
}

void CPELORUSDlg::OnNextAddress() {
  StepByHand(+1);
}

// During a run the address is the run's: it steps between chunks, so that a chunk works with
// the address it started with.
void CPELORUSDlg::StepByHand(int direction) {
  if (running_) {
    run_->StepByHand(direction);
    return;
  }
  if (fields_.StepAddress(direction)) {
    return;
  }
  MessageBox(QStringLiteral("The address %1 %2 is a group (multicast) address, which no device "
                            "may take.")
                 .arg(direction > 0 ? QStringLiteral("after") : QStringLiteral("before"),
                      QString::fromLatin1(fields_.Joined(":"))),
             kCaption, QMessageBox::Warning);
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
  ui_->IDC_PREV->setEnabled(running && !pool_);
  ui_->IDC_NEXT->setEnabled(running && !pool_);
  ui_->IDC_RESET->setEnabled(running);
  ui_->IDC_START->setEnabled(!running);
  ui_->IDC_PORT->setEnabled(!running);
}

void CPELORUSDlg::MessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon,
                             const QString& detail, QMessageBox::StandardButtons buttons,
                             std::function<void(int)> answered) {
  auto* box = new QMessageBox(icon, caption, text, buttons, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setInformativeText(detail);
  if (buttons.testFlag(QMessageBox::No)) {
    box->setDefaultButton(QMessageBox::No);
  }
  if (answered) {
    connect(box, &QMessageBox::finished, this,
            [box, answered] { answered(box->standardButton(box->clickedButton())); });
  }
  box->open();
}

}  // namespace pelorus
