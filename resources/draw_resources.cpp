// Draws the window's bitmaps and the program icon at build time, so that the pictures live in
// the repository as code rather than as binary files.
//   varnet_draw_resources <output folder>
// writes background.png (400 x 240), progress.png (348 x 11) and icon.png (32 x 32);
//   varnet_draw_resources --windows <output folder>
// writes background.bmp and progress.bmp (24 bits per pixel) and icon.ico (one 32 x 32 image
// with alpha) for the Windows window's resource script.
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cstdio>
#include <cstring>

#include "ui-common/window_layout.h"

namespace {

using varnet::Place;
using varnet::Rgb;

QColor ToQColor(Rgb rgb) {
  return QColor(rgb.r, rgb.g, rgb.b);
}
QRect ToQRect(Place place) {
  return QRect(place.x, place.y, place.width, place.height);
}

const QColor kField = ToQColor(varnet::kFieldColour);
const QColor kRule = ToQColor(varnet::kRuleColour);
const QColor kTrough = ToQColor(varnet::kTroughColour);
const QColor kTroughEdge = ToQColor(varnet::kTroughEdgeColour);
const QColor kShadow = ToQColor(varnet::kShadowColour);

// 400 x 240: the flat field, the two rules that split it into the file, port and progress
// bands, and the trough that frames the 348-pixel progress bar drawn at (27, 203).
QImage DrawBackground() {
  QImage image(varnet::kClientWidth, varnet::kClientHeight, QImage::Format_RGB32);
  image.fill(kField);
  QPainter p(&image);
  p.setPen(Qt::NoPen);
  const Place rule = varnet::kRuleSpan;
  p.fillRect(QRect(rule.x, varnet::kUpperRuleRow, rule.width, rule.height), kRule);
  p.fillRect(QRect(rule.x, varnet::kLowerRuleRow, rule.width, rule.height), kRule);
  // Drop shadow first, two pixels down and right, then the trough over it.
  const QRect trough = ToQRect(varnet::kTroughPlace);
  p.fillRect(ToQRect(varnet::kShadowPlace), kShadow);
  p.fillRect(trough, kTrough);
  p.fillRect(QRect(trough.left(), trough.top(), trough.width(), 1), kTroughEdge);
  p.fillRect(QRect(trough.left(), trough.top(), 1, trough.height()), kTroughEdge);
  return image;
}

// 348 x 11 red bar; the window shows only its top 5 rows, so those carry the shading.
QImage DrawProgressBar() {
  QImage image(varnet::kProgressBarWidth, 11, QImage::Format_RGB32);
  const QColor rows[11] = {{250, 110, 100}, {235, 60, 50}, {220, 36, 30}, {205, 26, 22},
                           {178, 16, 14},   {160, 12, 10}, {150, 10, 8},  {140, 8, 6},
                           {130, 6, 4},     {120, 4, 2},   {110, 2, 0}};
  for (int y = 0; y < 11; ++y) {
    for (int x = 0; x < image.width(); ++x) image.setPixelColor(x, y, rows[y]);
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

void AppendLe(QByteArray& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// An icon file with one image stored as a device-independent bitmap: the header gives twice
// the height (colour rows, then the transparency mask), rows bottom-up, blue-green-red-alpha.
// The mask is all zeros: the alpha channel alone decides what shows.
QByteArray IconFile(const QImage& picture) {
  const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
  const int w = image.width();
  const int h = image.height();
  const int maskStride = ((w + 31) / 32) * 4;
  const uint32_t imageBytes = 40 + uint32_t(w * h * 4) + uint32_t(maskStride * h);
  QByteArray out;
  AppendLe(out, 0, 2);  // reserved
  AppendLe(out, 1, 2);  // an icon
  AppendLe(out, 1, 2);  // one image
  AppendLe(out, uint32_t(w), 1);
  AppendLe(out, uint32_t(h), 1);
  AppendLe(out, 0, 2);  // no palette, reserved
  AppendLe(out, 1, 2);  // planes
  AppendLe(out, 32, 2);
  AppendLe(out, imageBytes, 4);
  AppendLe(out, 6 + 16, 4);  // the image follows the one directory entry
  AppendLe(out, 40, 4);
  AppendLe(out, uint32_t(w), 4);
  AppendLe(out, uint32_t(h * 2), 4);
  AppendLe(out, 1, 2);
  AppendLe(out, 32, 2);
  AppendLe(out, 0, 4);  // uncompressed
  AppendLe(out, uint32_t(w * h * 4) + uint32_t(maskStride * h), 4);
  AppendLe(out, 0, 16);  // resolution and palette counts
  for (int y = h - 1; y >= 0; --y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < w; ++x) AppendLe(out, row[x], 4);  // 0xAARRGGBB little-endian is BGRA
  }
  out.append(QByteArray(maskStride * h, '\0'));
  return out;
}

bool Fail(const QString& path) {
  std::fprintf(stderr, "varnet_draw_resources: cannot write %s\n", qPrintable(path));
  return false;
}

bool Save(const QImage& image, const QString& folder, const char* name, const char* format) {
  const QString path = folder + '/' + QString::fromLatin1(name);
  return image.save(path, format) || Fail(path);
}

bool SaveIcon(const QImage& image, const QString& folder, const char* name) {
  const QString path = folder + '/' + QString::fromLatin1(name);
  QFile file(path);
  const QByteArray bytes = IconFile(image);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return Fail(path);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool windows = argc == 3 && std::strcmp(argv[1], "--windows") == 0;
  if (argc != 2 && !windows) {
    std::fprintf(stderr, "usage: varnet_draw_resources [--windows] <output folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[argc - 1]);
  // Qt writes 24 bits per pixel for an image without alpha, as the window's bitmaps are.
  const bool ok = windows ? Save(DrawBackground(), folder, "background.bmp", "BMP") &&
                                Save(DrawProgressBar(), folder, "progress.bmp", "BMP") &&
                                SaveIcon(DrawIcon(), folder, "icon.ico")
                          : Save(DrawBackground(), folder, "background.png", "PNG") &&
                                Save(DrawProgressBar(), folder, "progress.png", "PNG") &&
                                Save(DrawIcon(), folder, "icon.png", "PNG");
  return ok ? 0 : 1;
}
