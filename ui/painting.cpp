#include "ui/painting.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QStringList>
#include <algorithm>

namespace varnet {

namespace {

QPoint At(Point point) {
  return QPoint(point.x, point.y);
}

void DrawTextAt(QPainter& painter, const QFontMetrics& metrics, int left, int top,
                const QString& text) {
  // The positions are top-left corners of the text cell; QPainter wants the baseline.
  painter.drawText(QPoint(left, top + metrics.ascent()), text);
}

}  // namespace

std::vector<StatusText> StatusTexts(const StatusSnapshot& status) {
  std::vector<StatusText> texts;
  if (status.running) {
    texts.push_back({At(kProgressTextAt),
                     QLatin1String(kDownloadingPrefix) +
                         QString::number(ProgressPercent(status.bytesSent, status.progressTotal)) +
                         QLatin1String(kPercentSuffix)});
  }
  if (status.aborted) texts.push_back({At(kProgressTextAt), QLatin1String(kPleaseWaitText)});
  texts.push_back({At(kDeviceCaptionAt), QLatin1String(kDeviceCaption)});
  texts.push_back({At(kInputNameAt), QLatin1String(kInputNamePrefix) + status.inputDeviceName});
  texts.push_back({At(kOutputNameAt), QLatin1String(kOutputNamePrefix) + status.outputDeviceName});
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
  resources.textFont = FontWithCellHeight(kTextFontCell);
  resources.controlFont = FontWithCellHeight(kControlFontCell);
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
    painter.drawPixmap(kProgressBarAt.x, kProgressBarAt.y, resources.progressBitmap, 0, 0, copied,
                       kProgressBarRows);
  }

  painter.save();
  painter.setPen(QColor(kStatusTextColour.r, kStatusTextColour.g, kStatusTextColour.b));
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.setFont(resources.textFont);
  const QFontMetrics metrics(resources.textFont, painter.device());
  for (const StatusText& text : StatusTexts(status))
    DrawTextAt(painter, metrics, text.topLeft.x(), text.topLeft.y(), text.text);
  painter.restore();
}

}  // namespace varnet
