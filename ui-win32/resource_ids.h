// Resource numbers shared by the resource script and the C++ code (plain macros: the resource
// compiler reads this file too). The command ids repeat those of ui-common/window_layout.h,
// which the window code checks at compile time.
#pragma once

#define VARNET_IDB_BACKGROUND 100
#define VARNET_IDB_PROGRESS_BAR 101
#define VARNET_IDI_MAIN 102

#define VARNET_IDM_QUIT 100
#define VARNET_IDM_ABOUT 101
#define VARNET_IDM_MIDI_IO 200
#define VARNET_IDC_MIDI_INPUT_COMBO 600
#define VARNET_IDC_MIDI_OUTPUT_COMBO 601
