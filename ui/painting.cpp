#include "ui/painting.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QStringList>
#include <algorithm>
#include <climits>

namespace varnet {

namespace {

// Single precision on purpose: the product computes the bar and the percentage from 32-bit
// counters in float, and the truncation of that product is what the user has always seen
// (100 of 300 is 116 pixels, not 115 or 117).
int TruncatedRatio(uint32_t part, uint32_t whole, float scale) {
  if (whole == 0) return 0;
  const float value = static_cast<float>(part) / static_cast<float>(whole) * scale;
  // More sent than counted gives values above the scale; keep the conversion defined.
  if (value >= 2147483648.0f) return INT_MAX;
  return static_cast<int>(value);
}

void DrawTextAt(QPainter& painter, const QFontMetrics& metrics, int left, int top,
                const QString& text) {
  // The positions are top-left corners of the text cell; QPainter wants the baseline.
  painter.drawText(QPoint(left, top + metrics.ascent()), text);
}

}  // namespace

int ProgressBarWidth(uint32_t bytesSent, uint32_t progressTotal) {
  return TruncatedRatio(bytesSent, progressTotal, static_cast<float>(kProgressBarWidth));
}

int ProgressPercent(uint32_t bytesSent, uint32_t progressTotal) {
  return TruncatedRatio(bytesSent, progressTotal, 100.0f);
}

std::vector<StatusText> StatusTexts(const StatusSnapshot& status) {
  std::vector<StatusText> texts;
  if (status.running) {
    texts.push_back({QPoint(27, 178),
                     QStringLiteral("Downloading Data... ") +
                         QString::number(ProgressPercent(status.bytesSent, status.progressTotal)) +
                         QStringLiteral(" %")});
  }
  if (status.aborted) texts.push_back({QPoint(27, 178), QStringLiteral("Please wait...")});
  texts.push_back({QPoint(10, 45), QStringLiteral("Device: Quellar Varnet")});
  texts.push_back({QPoint(10, 105), QStringLiteral("MIDI In: ") + status.inputDeviceName});
  texts.push_back({QPoint(10, 125), QStringLiteral("MIDI Out: ") + status.outputDeviceName});
  return texts;
}

QFont FontWithCellHeight(int cellHeight) {
  QFont font;
  // The product's face first where it exists, then a common free sans-serif face.
  font.setFamilies(QStringList{QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"),
                               QStringLiteral("Liberation Sans")});
  font.setStyleHint(QFont::SansSerif);
  // The product asks for a thin weight, but its face has none and is drawn regular; ask for
  // regular so that a face with a real thin cut does not make the text hard to read.
  font.setWeight(QFont::Normal);
  for (int pixels = cellHeight; pixels > 1; --pixels) {
    font.setPixelSize(pixels);
    const QFontMetrics metrics(font);
    if (metrics.ascent() + metrics.descent() <= cellHeight) break;
  }
  return font;
}

void LoadGraphics(WindowResources& resources) {
  resources.backgroundBitmap = QPixmap(QStringLiteral(":/varnet/background.png"));
  resources.progressBitmap = QPixmap(QStringLiteral(":/varnet/progress.png"));
  resources.textFont = FontWithCellHeight(13);
  resources.controlFont = FontWithCellHeight(14);
}

void ReleaseGraphics(WindowResources& resources) {
  resources.backgroundBitmap = QPixmap();
  resources.progressBitmap = QPixmap();
  resources.textFont = QFont();
  resources.controlFont = QFont();
}

void PaintBackground(QPainter& painter, const WindowResources& resources) {
  if (resources.backgroundBitmap.isNull()) return;
  painter.drawPixmap(0, 0, resources.backgroundBitmap);
}

void PaintStatus(QPainter& painter, const WindowResources& resources,
                 const StatusSnapshot& status) {
  const int barWidth = ProgressBarWidth(status.bytesSent, status.progressTotal);
  if (!resources.progressBitmap.isNull() && barWidth > 0) {
    // A bar wider than the bitmap copies only the part of the bitmap that exists.
    const int copied = std::min(barWidth, resources.progressBitmap.width());
    painter.drawPixmap(27, 203, resources.progressBitmap, 0, 0, copied, kProgressBarRows);
  }

  painter.save();
  painter.setPen(QColor(255, 255, 255));
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.setFont(resources.textFont);
  const QFontMetrics metrics(resources.textFont, painter.device());
  for (const StatusText& text : StatusTexts(status))
    DrawTextAt(painter, metrics, text.topLeft.x(), text.topLeft.y(), text.text);
  painter.restore();
}

}  // namespace varnet
