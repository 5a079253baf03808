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

#include "ui-common/window_layout.h"

class QComboBox;
class QLineEdit;
class QPainter;
class QPushButton;

namespace varnet {

// Client rectangles given as left, top, right, bottom (right and bottom excluded).
constexpr QRect RectFromEdges(int left, int top, int right, int bottom) {
  return QRect(left, top, right - left, bottom - top);
}
constexpr QRect RectFromEdges(Edges edges) {
  return RectFromEdges(edges.left, edges.top, edges.right, edges.bottom);
}
inline constexpr QRect ProgressRect = RectFromEdges(kProgressEdges);
inline constexpr QRect PortNamesRect = RectFromEdges(kPortNamesEdges);

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
