#include "ui/msg.h"

#include <QPainter>

#include "ui/log_font.h"
#include "ui_msg.h"

namespace pelorus {

CMSG::CMSG(QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::CMSG>()),
      font_(MakeLogFont(kGulimChe, 80, 38, 900)) {
  ui_->setupUi(this);
  setFixedSize(size());
  connect(ui_->IDC_BANNER_OK, &QPushButton::clicked, this, &QDialog::accept);
}

CMSG::~CMSG() = default;

void CMSG::SetAlert(const std::string& text) {
  alert_ = 1;
  first_line_ = text;
  update();
}

void CMSG::DoModal() {
  open();
}

QString CMSG::Text() const {
  return QString::fromLatin1(first_line_) + QStringLiteral("\n   ") +
         QString::fromLatin1(second_line_);
}

void CMSG::paintEvent(QPaintEvent*) {
  OnPaint();
}

// No background fill: the text lies straight on the dialog's face; what does not fit is
// cut at the right and bottom edges rather than wrapped.
void CMSG::OnPaint() {
  QPainter painter(this);
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.setPen(alert_ == 1 ? QColor(255, 0, 0) : QColor(0, 0, 0));
  painter.setFont(font_);
  painter.setClipRect(rect());
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop, Text());
}

}  // namespace pelorus
