#include "ui/log_font.h"

#include <QFontMetricsF>
#include <algorithm>

namespace pelorus {
namespace {

void InstallSubstitutes() {
  static const bool installed = [] {
    QFont::insertSubstitution(kGulim, kKoreanSubstitute);
    QFont::insertSubstitution(kGulimChe, kKoreanSubstitute);
    // The substitute has no bold face, and Qt makes a bold one up only below 64 pixels
    // unless told otherwise; the octets and the banner are 80 pixels high and must be bold.
    qputenv("QT_NO_SYNTHESIZED_BOLD_LIMIT", "1");
    return true;
  }();
  (void)installed;
}

// The average advance of the printable ASCII characters: a CJK face reports a full-width
// average, while the window's widths are meant for the half-width Latin text it shows.
double LatinAverageWidth(const QFont& font) {
  const QFontMetricsF metrics(font);
  double sum = 0;
  for (char c = ' '; c <= '~'; ++c) {
    sum += metrics.horizontalAdvance(QLatin1Char(c));
  }
  return sum / ('~' - ' ' + 1);
}

}  // namespace

QFont MakeLogFont(const QString& face, int height, int width, int weight) {
  InstallSubstitutes();
  QFont font(face);
  font.setWeight(static_cast<QFont::Weight>(weight));
  // The height names the whole cell (ascent plus descent), Qt's pixel size the em square.
  font.setPixelSize(height);
  const double cell = QFontMetricsF(font).height();
  if (cell > 0) {
    font.setPixelSize(std::max(1, qRound(height * height / cell)));
  }
  if (width > 0) {
    const double natural = LatinAverageWidth(font);
    if (natural > 0) {
      font.setStretch(std::clamp(qRound(100.0 * width / natural), 1, 4000));
    }
  }
  return font;
}

}  // namespace pelorus
