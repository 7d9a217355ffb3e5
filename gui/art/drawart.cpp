// Draws KeyPorter's contact picture (a page, for the README link) into the
// given directory. Run by hand when it changes; the PNG is kept in the tree.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

QImage readme_page() {
  QImage img(64, 64, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  // A sheet with its top right corner folded over.
  QPainterPath sheet;
  sheet.moveTo(12, 4);
  sheet.lineTo(40, 4);
  sheet.lineTo(54, 18);
  sheet.lineTo(54, 60);
  sheet.lineTo(12, 60);
  sheet.closeSubpath();
  p.setPen(QPen(QColor(0x3B, 0x78, 0xC4), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::white);
  p.drawPath(sheet);
  p.setBrush(QColor(0x8C, 0xB8, 0xE8));
  p.drawPolygon(QPolygonF({QPointF(40, 4), QPointF(40, 18), QPointF(54, 18)}));
  // Lines of text.
  p.setPen(QPen(QColor(0x3B, 0x78, 0xC4), 3, Qt::SolidLine, Qt::RoundCap));
  for (int i = 0; i < 4; ++i) p.drawLine(QPointF(20, 28 + 8 * i), QPointF(i == 3 ? 36 : 46, 28 + 8 * i));
  return img;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QString dir = QString::fromLocal8Bit(argv[1]) + QLatin1Char('/');
  return readme_page().save(dir + "ic_readme.png") ? 0 : 1;
}
