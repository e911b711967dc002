#include "ui/window_template.h"

#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QValidator>
#include <utility>

#include "serial/port_names.h"

static void InitPelorusResources() {
  Q_INIT_RESOURCE(pelorus);
}

namespace pelorus {
namespace {

class UpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    input = input.toUpper();
    return Acceptable;
  }
};

}  // namespace

void InitWindowResources() {
  InitPelorusResources();
}

void HoldUpperCase(QLineEdit& box) {
  box.setValidator(new UpperCaseValidator(&box));
}

void InsertSorted(QComboBox& list, const QString& text) {
  int index = 0;
  while (index < list.count() &&
         QString::compare(list.itemText(index), text, Qt::CaseInsensitive) <= 0) {
    ++index;
  }
  list.insertItem(index, text);
}

int PortNumberOf(const std::string& text, int current) {
  for (int n = 1; n <= 9; ++n) {
    const std::string digit = std::to_string(n);
    if (text == " COM-" + digit + " " || text == "COM" + digit) {
      return n;
    }
  }
  return current;
}

void ShowDevicesAsTips(QComboBox& list) {
  for (int i = 0; i < list.count(); ++i) {
    const std::string name = PortNameFor(
        static_cast<unsigned>(PortNumberOf(list.itemText(i).toLatin1().toStdString(), 0)));
    const std::string variable = PortVariableFor(name);
    const std::string device = DevicePathFor(name);
    const bool set = !qEnvironmentVariableIsEmpty(variable.c_str());
    const std::string tip = ShortPortName(name) + ": " + (device.empty() ? "no device" : device) +
                            (set ? " (" + variable + ")" : " (" + variable + " not set)");
    list.setItemData(i, QString::fromStdString(tip), Qt::ToolTipRole);
  }
}

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

}  // namespace pelorus
