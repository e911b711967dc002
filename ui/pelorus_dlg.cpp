#include "ui/pelorus_dlg.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QValidator>
#include <utility>

#include "serial/port_settings.h"
#include "ui/log_font.h"
#include "ui_pelorus_dlg.h"

// The resources live in a static library: nothing would pull them in otherwise.
static void InitPelorusResources() {
  Q_INIT_RESOURCE(pelorus);
}

namespace pelorus {
namespace {

// Caption and modal frame, no system menu and so no close box.
constexpr Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

// Holds every letter the operator types in upper case.
class UpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    input = input.toUpper();
    return Acceptable;
  }
};

std::unique_ptr<Ui::CPELORUSDlg> SetUpTemplate(QDialog* dialog) {
  InitPelorusResources();
  auto ui = std::make_unique<Ui::CPELORUSDlg>();
  ui->setupUi(dialog);
  dialog->setFixedSize(dialog->size());
  return ui;
}

// The list keeps its entries in order, as the template's sorted list does; a blank sorts
// before a letter, so " COM-1 " comes before "COM1".
void InsertSorted(QComboBox* list, const QString& text) {
  int index = 0;
  while (index < list->count() &&
         QString::compare(list->itemText(index), text, Qt::CaseInsensitive) <= 0) {
    ++index;
  }
  list->insertItem(index, text);
}

// " COM-n " and "COMn" both choose port n; any other text keeps the port chosen before.
int PortNumberOf(const std::string& text, int current) {
  for (int n = 1; n <= 9; ++n) {
    const std::string digit = std::to_string(n);
    if (text == " COM-" + digit + " " || text == "COM" + digit) {
      return n;
    }
  }
  return current;
}

// The picture's 3-D greys (black, shadow, face, highlight) take the window's own colours,
// so its background blends with whatever palette the window has.
QPixmap MappedPicture(const QPalette& palette) {
  QImage image =
      QImage(QStringLiteral(":/pelorus/picture.png")).convertToFormat(QImage::Format_RGB32);
  const std::pair<QRgb, QRgb> map[] = {
      {qRgb(0, 0, 0), palette.color(QPalette::WindowText).rgb()},
      {qRgb(128, 128, 128), palette.color(QPalette::Dark).rgb()},
      {qRgb(192, 192, 192), palette.color(QPalette::Window).rgb()},
      {qRgb(255, 255, 255), palette.color(QPalette::Light).rgb()},
  };
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      for (const auto& [from, to] : map) {
        if (qRgb(qRed(line[x]), qGreen(line[x]), qBlue(line[x])) == from) {
          line[x] = to;
          break;
        }
      }
    }
  }
  return QPixmap::fromImage(image);
}

QString AppName() {
  return QCoreApplication::applicationName();
}

}  // namespace

CPELORUSDlg::CPELORUSDlg(QWidget* parent)
    : QDialog(parent, kWindowFlags),
      ui_(SetUpTemplate(this)),
      banner_(this),
      fields_(*this),
      dialogue_(fields_, *this),
      octet_boxes_{ui_->IDC_OCTET1, ui_->IDC_OCTET2, ui_->IDC_OCTET3,
                   ui_->IDC_OCTET4, ui_->IDC_OCTET5, ui_->IDC_OCTET6},
      log_(*ui_->IDC_LOG) {
  for (const int size : {16, 32, 48, 256}) {
    icon_.addFile(QStringLiteral(":/pelorus/icon_%1.png").arg(size));
  }
  for (QLineEdit* box : octet_boxes_) {
    box->setValidator(new UpperCaseValidator(box));
  }
  WireMessages();
  OnInitDialog();
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
    InsertSorted(ui_->IDC_PORT, QStringLiteral(" COM-%1 ").arg(n));
  }
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

void CPELORUSDlg::SetWaitFunction(WaitFunction wait) {
  wait_ = std::move(wait);
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
}

void CPELORUSDlg::Write(std::size_t count, const char* bytes) {
  comm_.Write(count, bytes);
}

void CPELORUSDlg::SetAlert(const std::string& text) {
  banner_.SetAlert(text);
}

void CPELORUSDlg::DoModal() {
  banner_.DoModal();
}

// The dialogue's pauses are part of its timing towards the device, and the watcher stays
// held meanwhile; the window keeps painting, the box catching up to the line being answered,
// and operator input waits until the chunk is done.
void CPELORUSDlg::Wait(std::chrono::milliseconds duration) {
  log_.Store(log_text_);
  if (wait_) {
    wait_(duration);
    return;
  }
  QEventLoop loop;
  QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void CPELORUSDlg::PostPortData(std::uint64_t ticket, int) {
  emit PortDataPosted(ticket);
}

void CPELORUSDlg::PostPortLost(std::uint64_t ticket) {
  emit PortLostPosted(ticket);
}

void CPELORUSDlg::ShowMessage(const std::string& text, const std::string& caption, bool warning) {
  emit MessagePosted(QString::fromLatin1(text), QString::fromLatin1(caption), warning);
}

void CPELORUSDlg::done(int result) {
  comm_.Close();
  QDialog::done(result);
}

void CPELORUSDlg::OnStart() {
  LoadFields();
  const int result = fields_.ValidateOctets();
  if (result < 0) {
    const int k = -result;
    fields_.Octet(k).clear();
    OctetBox(k)->setFocus();
    MessageBox(QStringLiteral("Wrong date (MAC%1)").arg(k), AppName(), QMessageBox::Warning);
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
  if (comm_.Open(settings) != 1) {
    MessageBox(QString::asprintf("COM%d is not ready... you must change com port", port_number_),
               AppName(), QMessageBox::Warning);
    return;
  }

  dialogue_.ResetLine();
  address_text_ = fields_.FormatAddressForLog();
  log_text_ += address_text_;
  StoreFields();
  ShowRunState(true);
}

void CPELORUSDlg::OnReset() {
  ShowRunState(false);
  comm_.Close();
  StoreFields();
}

void CPELORUSDlg::OnEnd() {
  comm_.Close();
  close();
}

void CPELORUSDlg::OnPrevAddress() {
  fields_.StepAddress(-1);
}

void CPELORUSDlg::OnNextAddress() {
  fields_.StepAddress(+1);
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

void CPELORUSDlg::OnPortData(quint64 ticket) {
  OutsideChunk([this, ticket] {
    handling_chunk_ = true;
    comm_.HandlePortData(ticket, [this](const char* bytes, int n) {
      dialogue_.OnPortData(bytes, static_cast<std::size_t>(n));
    });
    handling_chunk_ = false;
    while (!deferred_.empty()) {
      const std::function<void()> action = std::move(deferred_.front());
      deferred_.pop_front();
      action();
    }
  });
}

// The port went away under the watcher (cable pulled, adapter unplugged): the run stops as
// on RESET, so that START works again once the port is back.
void CPELORUSDlg::OnPortLost(quint64 ticket) {
  OutsideChunk([this, ticket] {
    if (!comm_.IsCurrent(ticket)) {
      return;
    }
    QString port = QString::fromStdString(comm_.PortName());
    port.remove(QStringLiteral("\\\\.\\"));
    OnReset();
    MessageBox(QStringLiteral("%1 was lost... check the cable and press START again").arg(port),
               AppName(), QMessageBox::Warning);
  });
}

void CPELORUSDlg::OnMessage(const QString& text, const QString& caption, bool warning) {
  OutsideChunk([this, text, caption, warning] {
    MessageBox(text, caption.isEmpty() ? AppName() : caption,
               warning ? QMessageBox::Warning : QMessageBox::NoIcon);
  });
}

void CPELORUSDlg::OutsideChunk(std::function<void()> action) {
  if (handling_chunk_) {
    deferred_.push_back(std::move(action));
    return;
  }
  action();
}

// One table for both run states: Running locks the address and the port, Stopped the
// reverse; END stays enabled in every state.
void CPELORUSDlg::ShowRunState(bool running) {
  for (QLineEdit* box : octet_boxes_) {
    box->setEnabled(!running);
  }
  ui_->IDC_PREV->setEnabled(running);
  ui_->IDC_NEXT->setEnabled(running);
  ui_->IDC_RESET->setEnabled(running);
  ui_->IDC_START->setEnabled(!running);
  ui_->IDC_PORT->setEnabled(!running);
}

void CPELORUSDlg::MessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
  box.exec();
}

}  // namespace pelorus
