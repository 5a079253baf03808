// What the main window shows, in numbers and words that do not depend on a toolkit: the client
// area, where each control and text sits, the colours of the bitmaps, the texts, the command
// ids and the progress arithmetic. The Qt window (ui/), the native Windows window (ui-win32/)
// and the bitmap generator (resources/) all take them from here, so the two windows cannot
// drift apart.
#pragma once

#include <climits>
#include <cstdint>

namespace varnet {

// Command and control identifiers (menu items, buttons, child controls).
constexpr int IDC_SELECT_FILE = 50;
constexpr int IDC_RUN_UPDATE = 60;
constexpr int IDM_QUIT = 100;
constexpr int IDM_ABOUT = 101;
constexpr int IDM_MIDI_IO = 200;
constexpr int IDC_FILE_TITLE = 501;
constexpr int IDC_DEVICE_TYPE = 503;
constexpr int IDC_MIDI_INPUT_COMBO = 600;
constexpr int IDC_MIDI_OUTPUT_COMBO = 601;
// Commands 50 to 200 reach the command table (index = id - 50); every other id does nothing.
constexpr int kFirstCommandId = 50;
constexpr int kLastCommandId = 200;

constexpr int kClientWidth = 400;
constexpr int kClientHeight = 240;
constexpr int kProgressBarWidth = 348;
constexpr int kProgressBarRows = 5;

struct Point {
  int x;
  int y;
};
// A child control's place: top-left corner and size in client pixels.
struct Place {
  int x;
  int y;
  int width;
  int height;
};
// Client rectangles given as left, top, right, bottom (right and bottom excluded).
struct Edges {
  int left;
  int top;
  int right;
  int bottom;
};
inline constexpr Edges kProgressEdges{10, 170, 390, 280};
inline constexpr Edges kPortNamesEdges{10, 100, 250, 200};

inline constexpr Place kFileTitlePlace{130, 10, 240, 20};
inline constexpr Place kSelectFilePlace{10, 10, 100, 20};
inline constexpr Place kRunUpdatePlace{270, 100, 100, 40};
inline constexpr Place kDeviceTypePlace{128, 40, 100, 300};  // height includes the opened list

// Top-left corners of the painted texts and of the progress bar.
inline constexpr Point kProgressTextAt{27, 178};
inline constexpr Point kDeviceCaptionAt{10, 45};
inline constexpr Point kInputNameAt{10, 105};
inline constexpr Point kOutputNameAt{10, 125};
inline constexpr Point kProgressBarAt{27, 203};

// Font cell heights in pixels.
constexpr int kTextFontCell = 13;
constexpr int kControlFontCell = 14;

struct Rgb {
  uint8_t r;
  uint8_t g;
  uint8_t b;
};
inline constexpr Rgb kFieldColour{98, 123, 166};
inline constexpr Rgb kRuleColour{224, 229, 238};
inline constexpr Rgb kTroughColour{214, 217, 223};
inline constexpr Rgb kTroughEdgeColour{176, 181, 190};
inline constexpr Rgb kShadowColour{38, 48, 68};
inline constexpr Rgb kStatusTextColour{255, 255, 255};
// The background bitmap's two rules (one pixel high, x 10 to 389) and the progress trough.
constexpr int kUpperRuleRow = 75;
constexpr int kLowerRuleRow = 170;
inline constexpr Place kRuleSpan{10, 0, 380, 1};
inline constexpr Place kTroughPlace{21, 199, 359, 17};
inline constexpr Place kShadowPlace{23, 201, 359, 17};

inline constexpr char kWindowTitle[] = "Varnet Update Tool 1.0";
inline constexpr char kCloseQuestionText[] =
    "Do you want to close this application and abort the update process?\n"
    "(The device will not work anymore after power reset!!!)";
inline constexpr char kCloseQuestionCaption[] = "Close Application...";
inline constexpr char kAboutText[] =
    "Varnet Update Tool 1.0\nVersion : 1.00\n\n"
    "Copyright (C) the varnet-update developers. All rights reserved.";
inline constexpr char kAboutCaption[] = "About...";
inline constexpr char kFileNotValidText[] = "Failed opening file! File not valid! \n";
inline constexpr char kFileNotValidCaption[] = "Filetype mismatch!";
inline constexpr char kSystemErrorCaption[] = "Error!";
inline constexpr char kNoControlsText[] = "Failed to create Controls...";
inline constexpr char kNoControlsCaption[] = "Application error";
inline constexpr char kNoWindowText[] = "Failed to create window...";
inline constexpr char kNoClassText[] = "Failed to register main class...";
inline constexpr char kStartFailureCaption[] = "Sorry";
inline constexpr char kPortsInUseText[] =
    "The MIDI ports are in use by the update that is running.\n"
    "Choose other ports after the update has ended.";

inline constexpr char kInitialFileTitle[] = "Selected File";
inline constexpr char kSelectFileCaption[] = "Select File...";
inline constexpr char kRunUpdateCaption[] = "Run Update";
inline constexpr const char* kDeviceTypeNames[] = {"Kestrin", "Varnet"};

inline constexpr char kDeviceCaption[] = "Device: Quellar Varnet";
inline constexpr char kInputNamePrefix[] = "MIDI In: ";
inline constexpr char kOutputNamePrefix[] = "MIDI Out: ";
inline constexpr char kDownloadingPrefix[] = "Downloading Data... ";
inline constexpr char kPercentSuffix[] = " %";
inline constexpr char kPleaseWaitText[] = "Please wait...";

namespace layout_detail {
// Single precision on purpose: the product computes the bar and the percentage from 32-bit
// counters in float, and the truncation of that product is what the user has always seen
// (100 of 300 is 116 pixels, not 115 or 117).
inline int TruncatedRatio(uint32_t part, uint32_t whole, float scale) {
  if (whole == 0) return 0;
  const float value = static_cast<float>(part) / static_cast<float>(whole) * scale;
  // More sent than counted gives values above the scale; keep the conversion defined.
  if (value >= 2147483648.0f) return INT_MAX;
  return static_cast<int>(value);
}
}  // namespace layout_detail

// Bar width in pixels: bytesSent / progressTotal x 348 in single precision, truncated toward
// zero, 0 when progressTotal is 0. Not capped at 348.
inline int ProgressBarWidth(uint32_t bytesSent, uint32_t progressTotal) {
  return layout_detail::TruncatedRatio(bytesSent, progressTotal,
                                       static_cast<float>(kProgressBarWidth));
}
// bytesSent / progressTotal x 100 in single precision, truncated toward zero; 0 when
// progressTotal is 0. Not capped at 100.
inline int ProgressPercent(uint32_t bytesSent, uint32_t progressTotal) {
  return layout_detail::TruncatedRatio(bytesSent, progressTotal, 100.0f);
}

}  // namespace varnet
