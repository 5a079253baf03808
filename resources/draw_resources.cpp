// Draws the window's bitmaps and the program icon at build time, so that the pictures live in
// the repository as code rather than as binary files.
//   varnet_draw_resources <output folder>
// writes background.png (400 x 240), progress.png (348 x 11) and icon.png (32 x 32).
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cstdio>

namespace {

const QColor kField(98, 123, 166);
const QColor kRule(224, 229, 238);
const QColor kTrough(214, 217, 223);
const QColor kTroughEdge(176, 181, 190);
const QColor kShadow(38, 48, 68);

// 400 x 240: the flat field, the two rules that split it into the file, port and progress
// bands, and the trough that frames the 348-pixel progress bar drawn at (27, 203).
QImage DrawBackground() {
  QImage image(400, 240, QImage::Format_RGB32);
  image.fill(kField);
  QPainter p(&image);
  p.setPen(Qt::NoPen);
  p.fillRect(QRect(10, 75, 380, 1), kRule);
  p.fillRect(QRect(10, 170, 380, 1), kRule);
  // Drop shadow first, two pixels down and right, then the trough over it.
  p.fillRect(QRect(23, 201, 359, 17), kShadow);
  p.fillRect(QRect(21, 199, 359, 17), kTrough);
  p.fillRect(QRect(21, 199, 359, 1), kTroughEdge);
  p.fillRect(QRect(21, 199, 1, 17), kTroughEdge);
  return image;
}

// 348 x 11 red bar; the window shows only its top 5 rows, so those carry the shading.
QImage DrawProgressBar() {
  QImage image(348, 11, QImage::Format_RGB32);
  const QColor rows[11] = {{250, 110, 100}, {235, 60, 50}, {220, 36, 30}, {205, 26, 22},
                           {178, 16, 14},   {160, 12, 10}, {150, 10, 8},  {140, 8, 6},
                           {130, 6, 4},     {120, 4, 2},   {110, 2, 0}};
  for (int y = 0; y < 11; ++y) {
    for (int x = 0; x < 348; ++x) image.setPixelColor(x, y, rows[y]);
  }
  return image;
}

// 32 x 32 with alpha: the window's blue-grey field with a light rule, a white download arrow
// and the red bar in its trough.
QImage DrawIcon() {
  QImage image(32, 32, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(52, 66, 92), 1));
  p.setBrush(kField);
  p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 5, 5);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.fillRect(QRect(4, 6, 24, 1), kRule);
  QPainterPath arrow;
  arrow.moveTo(13, 9);
  arrow.lineTo(19, 9);
  arrow.lineTo(19, 15);
  arrow.lineTo(23, 15);
  arrow.lineTo(16, 22);
  arrow.lineTo(9, 15);
  arrow.lineTo(13, 15);
  arrow.closeSubpath();
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(Qt::white);
  p.drawPath(arrow);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.fillRect(QRect(5, 25, 23, 4), kShadow);
  p.fillRect(QRect(4, 24, 23, 4), kTrough);
  p.fillRect(QRect(5, 25, 14, 2), QColor(220, 36, 30));
  return image;
}

bool Save(const QImage& image, const QString& folder, const char* name) {
  const QString path = folder + '/' + QString::fromLatin1(name);
  if (image.save(path, "PNG")) return true;
  std::fprintf(stderr, "varnet_draw_resources: cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: varnet_draw_resources <output folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const bool ok = Save(DrawBackground(), folder, "background.png") &&
                  Save(DrawProgressBar(), folder, "progress.png") &&
                  Save(DrawIcon(), folder, "icon.png");
  return ok ? 0 : 1;
}
