// Places controls where the Windows dialog templates put them. A dialog unit is a quarter of the
// font's average character width across and an eighth of its height down, so the arrangement
// keeps its proportions with any font and any scale factor.
#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QRect>
#include <QString>
#include <cmath>

namespace quento::linux_app {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    // The average over the Latin letters, as Windows measures a dialog font.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_x = metrics.horizontalAdvance(letters) / letters.size() / 4;
    m_y = metrics.height() / 8;
  }

  int X(int units) const { return int(std::lround(units * m_x)); }
  int Y(int units) const { return int(std::lround(units * m_y)); }
  QRect Rect(int x, int y, int width, int height) const {
    return {X(x), Y(y), X(width), Y(height)};
  }

 private:
  double m_x = 0;
  double m_y = 0;
};

}  // namespace quento::linux_app
