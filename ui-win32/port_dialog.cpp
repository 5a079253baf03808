// The MIDI port dialog: both lists in device-number order with the stored devices preselected;
// OK reopens the ports on the chosen devices, Cancel changes nothing.
#include <windows.h>

#include "midi/midi_ports.h"
#include "ui-common/window_layout.h"
#include "ui-win32/main_window.h"
#include "ui-win32/resource_ids.h"

namespace varnet {

static_assert(VARNET_IDC_MIDI_INPUT_COMBO == IDC_MIDI_INPUT_COMBO &&
              VARNET_IDC_MIDI_OUTPUT_COMBO == IDC_MIDI_OUTPUT_COMBO);

namespace {

// false when a list stays empty because there is no such device (its box has been shown).
bool FillLists(HWND dialog, MidiLayer& midi) {
  MidiPorts& ports = midi.ports;
  HWND inputList = GetDlgItem(dialog, IDC_MIDI_INPUT_COMBO);
  HWND outputList = GetDlgItem(dialog, IDC_MIDI_OUTPUT_COMBO);
  if (ports.inputDeviceCount == 0) {
    midi.prompts.showError("No MIDI Input found!", "Error", dialog);
    return false;
  }
  for (int32_t i = 0; i < ports.inputDeviceCount; ++i) {
    RefreshDeviceNames(midi, i, 0, dialog);
    SendMessageA(inputList, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(DeviceName(ports.inputDeviceName).c_str()));
  }
  // A stored index that names no device leaves the list without a selection.
  SendMessageA(inputList, CB_SETCURSEL, static_cast<WPARAM>(ports.inputDeviceIndex), 0);
  if (ports.outputDeviceCount == 0) {
    midi.prompts.showError("No MIDI Output found!", "Error", dialog);
    return false;
  }
  for (int32_t j = 0; j < ports.outputDeviceCount; ++j) {
    RefreshDeviceNames(midi, 0, j, dialog);
    SendMessageA(outputList, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(DeviceName(ports.outputDeviceName).c_str()));
  }
  SendMessageA(outputList, CB_SETCURSEL, static_cast<WPARAM>(ports.outputDeviceIndex), 0);
  // The listing has overwritten both name fields; put back the chosen devices' names.
  RefreshDeviceNames(midi, ports.inputDeviceIndex, ports.outputDeviceIndex, dialog);
  return true;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    return FillLists(dialog, *reinterpret_cast<MidiLayer*>(lParam)) ? TRUE : FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  auto* midi = reinterpret_cast<MidiLayer*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (LOWORD(wParam)) {
    case IDOK: {
      // A running update owns the ports: closing or reopening them under it would cut the
      // stream in the middle, which can leave the converter without a working firmware.
      if (midi->ports.sessionPortsOpen.load() == 1) {
        midi->prompts.showError(kPortsInUseText, "Error", dialog);
        return TRUE;
      }
      const auto input = static_cast<int32_t>(
          SendDlgItemMessageA(dialog, IDC_MIDI_INPUT_COMBO, CB_GETCURSEL, 0, 0));
      const auto output = static_cast<int32_t>(
          SendDlgItemMessageA(dialog, IDC_MIDI_OUTPUT_COMBO, CB_GETCURSEL, 0, 0));
      ReopenMidiPorts(*midi, input, output, dialog);
      EndDialog(dialog, 1);
      return TRUE;
    }
    case IDCANCEL:
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int RunWin32PortDialog(HINSTANCE instance, MidiLayer& midi, HWND owner) {
  return static_cast<int>(DialogBoxParamA(instance, "MyMidiDialog", owner, DialogProc,
                                          reinterpret_cast<LPARAM>(&midi)));
}

}  // namespace varnet
