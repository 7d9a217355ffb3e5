// Draws KeyPorter's four contact pictures into the given directory. Run by
// hand when a picture changes; the PNG files it writes are kept in the tree.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdint>
#include <cstdio>

namespace {

QImage canvas(int side) {
  QImage img(side, side, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  return img;
}

QImage forum() {
  QImage img = canvas(64);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x3B, 0x78, 0xC4));
  p.drawRoundedRect(QRectF(4, 6, 40, 28), 6, 6);
  p.drawPolygon(QPolygonF({QPointF(12, 33), QPointF(12, 43), QPointF(22, 33)}));
  p.setBrush(QColor(0x8C, 0xB8, 0xE8));
  p.drawRoundedRect(QRectF(22, 24, 38, 26), 6, 6);
  p.drawPolygon(QPolygonF({QPointF(50, 49), QPointF(52, 59), QPointF(42, 49)}));
  p.setBrush(Qt::white);
  for (int i = 0; i < 3; ++i) p.drawEllipse(QPointF(32 + 9 * i, 37), 2.6, 2.6);
  return img;
}

QImage email() {
  QImage img = canvas(64);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x9A, 0x4A, 0x10), 3));
  p.setBrush(QColor(0xF2, 0xA6, 0x3A));
  QRectF body(5, 14, 54, 38);
  p.drawRoundedRect(body, 4, 4);
  p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({QPointF(10, 19), QPointF(32, 36), QPointF(54, 19)}));
  return img;
}

QImage phone() {
  QImage img = canvas(64);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x2F, 0xB8, 0x5A));
  p.drawRoundedRect(QRectF(4, 4, 56, 56), 12, 12);
  // A tilted handset: a thick arc with rounded ends.
  p.translate(32, 32);
  p.rotate(-45);
  p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(-14, -17, 28, 34), 110 * 16, 140 * 16);
  return img;
}

// A picture in the look of a square 2-D code: three finder squares and
// pseudo-random modules.
QImage code_square() {
  constexpr int modules = 29, scale = 8, quiet = 2;
  constexpr int side = (modules + 2 * quiet) * scale;
  QImage img(side, side, QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::black);
  auto module = [&](int x, int y) { p.drawRect((x + quiet) * scale, (y + quiet) * scale, scale, scale); };
  auto in_finder = [](int x, int y) {
    return (x < 8 && y < 8) || (x >= modules - 8 && y < 8) || (x < 8 && y >= modules - 8);
  };
  uint32_t state = 0x2545F491u;
  for (int y = 0; y < modules; ++y)
    for (int x = 0; x < modules; ++x) {
      state = state * 1664525u + 1013904223u;
      if (in_finder(x, y)) continue;
      if (y == 6 || x == 6) {
        if ((x + y) % 2 == 0) module(x, y);  // timing lines
        continue;
      }
      if (state >> 31) module(x, y);
    }
  auto finder = [&](int fx, int fy) {
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 7; ++x) {
        bool ring = x == 0 || y == 0 || x == 6 || y == 6;
        bool core = x >= 2 && x <= 4 && y >= 2 && y <= 4;
        if (ring || core) module(fx + x, fy + y);
      }
  };
  finder(0, 0);
  finder(modules - 7, 0);
  finder(0, modules - 7);
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
  bool ok = forum().save(dir + "ic_froum.png") && email().save(dir + "ic_email.png") &&
            phone().save(dir + "ic_whatsapp.png") && code_square().save(dir + "ic_qr.png");
  return ok ? 0 : 1;
}
