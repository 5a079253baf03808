// What the main window shows: its fonts and bitmaps, and the two drawing procedures for the
// background and the status area (device caption, port names, progress text and bar).
#pragma once

#include <QFont>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QString>
#include <cstdint>
#include <vector>

class QComboBox;
class QLineEdit;
class QPainter;
class QPushButton;

namespace varnet {

constexpr int kClientWidth = 400;
constexpr int kClientHeight = 240;
constexpr int kProgressBarWidth = 348;
constexpr int kProgressBarRows = 5;

// Client rectangles given as left, top, right, bottom (right and bottom excluded).
constexpr QRect RectFromEdges(int left, int top, int right, int bottom) {
  return QRect(left, top, right - left, bottom - top);
}
inline constexpr QRect ProgressRect = RectFromEdges(10, 170, 390, 280);
inline constexpr QRect PortNamesRect = RectFromEdges(10, 100, 250, 200);

// The main window's fonts, bitmaps and child controls. The controls are owned by the window's
// client area; the pointers here are cleared when the controls are destroyed.
struct WindowResources {
  QFont textFont;
  QFont controlFont;
  QPixmap backgroundBitmap;
  QPixmap progressBitmap;
  QPushButton* selectFileButton = nullptr;
  QPushButton* runUpdateButton = nullptr;
  QComboBox* deviceTypeCombo = nullptr;
  QLineEdit* fileTitleEdit = nullptr;
};

// What PaintStatus reads, taken in one go so that a frame is drawn from one set of values.
struct StatusSnapshot {
  uint32_t bytesSent = 0;
  uint32_t progressTotal = 0;
  bool running = false;
  bool aborted = false;
  QString inputDeviceName;
  QString outputDeviceName;
};

// One text of the status area and the top-left point of its cell.
struct StatusText {
  QPoint topLeft;
  QString text;
};
// What PaintStatus writes, in drawing order: the progress line when running, "Please wait..."
// on top of it when aborted, then the device caption and the two port names.
std::vector<StatusText> StatusTexts(const StatusSnapshot& status);

// Bar width in pixels: bytesSent / progressTotal x 348 in single precision, truncated toward
// zero, 0 when progressTotal is 0. Not capped at 348.
int ProgressBarWidth(uint32_t bytesSent, uint32_t progressTotal);
// bytesSent / progressTotal x 100 in single precision, truncated toward zero; 0 when
// progressTotal is 0. Not capped at 100.
int ProgressPercent(uint32_t bytesSent, uint32_t progressTotal);

// A sans-serif font whose cell (ascent + descent) is `cellHeight` pixels at most, like a font
// requested by its cell height on the platform the product comes from.
QFont FontWithCellHeight(int cellHeight);

// Loads the two bitmaps from the program's resources and creates the two fonts. A bitmap that
// cannot be loaded stays null and draws nothing.
void LoadGraphics(WindowResources& resources);
void ReleaseGraphics(WindowResources& resources);

void PaintBackground(QPainter& painter, const WindowResources& resources);
void PaintStatus(QPainter& painter, const WindowResources& resources, const StatusSnapshot& status);

}  // namespace varnet
