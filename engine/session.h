// The update session: from a press of Run Update to the outcome box. It works through the
// window's SessionView, so the same session runs in the desktop window, the command line and
// tests.
//
// Everything here runs on the user-interface thread except UpdateWorkerMain, which is the body
// of the one worker thread. The session's boxes go through engine.prompts with no owner window,
// so a front end keeps calling SessionTimerProc while one of them is open (as a window's timer
// keeps firing under an owner-less box); the session is written to be re-entered that way.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace varnet {

constexpr int IDT_UPDATE_PROGRESS = 20231;
constexpr int kProgressTimerMs = 200;

// The texts the session shows, exactly as the user sees them.
extern const char* const kNoFirmwareText;      // caption "Error!"
extern const char* const kEmptyPayloadText;    // caption "Error!"
extern const char* const kCancelQuestionText;  // caption "Warning!", OK / Cancel
extern const char* const kFailedText;          // caption "Error!"
extern const char* const kAbortedText;         // caption "Abort!"
extern const char* const kDoneText;            // caption "Done!", information icon
extern const char* const kNoTimerText;         // caption "Error!"
extern const char* const kNoWorkerText;        // caption "Error!"; followed by the system's reason
// The warning before the header goes out (caption "Warning", Yes / No): four literals joined.
std::string WarningText();
// Other programs that send into the device's input, named before the warning (caption "Other
// senders", Yes / No with No the default; the command line answers it only from
// kOtherSendersOption), and others that joined while the start was asking (caption "Error!").
extern const char* const kOtherSendersCaption;
extern const char* const kOtherSendersOption;
std::string OtherSendersText(const std::vector<std::string>& senders);
std::string JoinedSendersText(const std::vector<std::string>& senders);

// The session's view of its window.
class SessionView {
 public:
  virtual ~SessionView() = default;
  virtual void setRunUpdateCaption(const std::string& caption) = 0;
  virtual void setRunUpdateEnabled(bool enabled) = 0;
  virtual void setSelectFileEnabled(bool enabled) = 0;
  // Invalidates ProgressRect (10, 170, 390, 280) with the background erased.
  virtual void invalidateProgress() = 0;
  // Starts the repeating 200 ms timer IDT_UPDATE_PROGRESS whose ticks call SessionTimerProc.
  // false when no timer could be created.
  virtual bool startProgressTimer() = 0;
  virtual void killProgressTimer() = 0;
  // Paints what has been invalidated and set so far, now: the session calls it before a wait
  // that holds the user-interface thread (the identification's 500 ms), so that the window shows
  // "Cancel..." and its status during the wait. A view that draws between events needs nothing.
  virtual void paintNow() {}
};

// Where a session stands: the one state of the session, read and changed on the user-interface
// thread only, and only through the transitions in session.cpp (see docs/ARCHITECTURE.md, "The
// session's state machine"). The engine's SessionState and aborted say what the stream is doing
// (painting reads them, the encoder and the echo check write them); the phase says what the
// session does with it.
enum class SessionPhase {
  Idle,            // no session: a press of Run Update may start one
  Starting,        // ports, handshake, warning question
  StartCancelled,  // a stop arrived while the start was asking: it refuses once its wait returns
  Streaming,       // header sent, worker running, timer alive
  Stopping,        // stopped from outside: the worker has been told and is running out its pause
  Finishing,       // the worker has ended, the end byte is out: the last echo is awaited on ticks
};

// True while the stream's message is open or its session still has to be finished by ticks.
inline bool SessionStreamLive(SessionPhase phase) {
  return phase == SessionPhase::Streaming || phase == SessionPhase::Stopping ||
         phase == SessionPhase::Finishing;
}

// How the last session ended, for front ends that report it (exit status, tests).
enum class SessionOutcome {
  None,     // no session has ended yet
  Done,     // the done box
  Aborted,  // the aborted box (cancel, or after the failed box)
  Failed,   // the failed box, then the aborted box
  Refused,  // the start was refused; no stream was sent
  Stopped,  // StopUpdateSession ended a stream from outside; no box was shown
};

// Creates the worker thread running `body`. Throws std::system_error when no thread can be
// created, as std::thread does; tests replace it to simulate that.
using WorkerFactory = std::function<std::thread(std::function<void()> body)>;

struct UpdateSession {
  UpdateSession(Engine& engine, SessionView& view, const std::string& firmwarePath)
      : engine(engine), view(view), firmwarePath(firmwarePath) {}
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;
  // Stops a running worker (the end byte still goes out, ports are closed) without touching the
  // view, which may already be gone. Destroy the session before the Engine and its MidiLayer.
  ~UpdateSession();

  Engine& engine;
  SessionView& view;
  const std::string& firmwarePath;  // empty: no firmware loaded

  std::thread workerThread;
  WorkerFactory createWorker;  // empty: std::thread
  std::string workerError;     // why the last worker could not be created

  std::atomic<bool> workerEnded{false};  // set by the worker as its last act
  std::atomic<bool> timerAlive{false};
  // phase != Idle, for readers that only ask whether a session holds the buffers.
  std::atomic<bool> inProgress{false};

  // User-interface thread only.
  SessionPhase phase = SessionPhase::Idle;
  SessionOutcome lastOutcome = SessionOutcome::None;
  uint64_t generation = 0;          // counts started sessions; tells a late answer from a live one
  bool cancelQuestionOpen = false;  // the cancel box is on screen
  // The other senders the user agreed to share the device's input with in this start.
  std::vector<std::string> agreedSenders;
  FinalEchoWait finalEcho;  // Finishing: the wait for the last echo
};

void OnRunUpdate(UpdateSession& session);
void StartUpdateSession(UpdateSession& session);
int StartUpdateWorker(UpdateSession& session);  // 0 started, -1 exists or could not be created
int UpdateWorkerMain(UpdateSession& session);
// A tick of the 200 ms timer: repaints the progress, shows the worker's boxes and moves the
// session on once its worker has ended. A tick holds the thread for at most kFinishSlice.
void SessionTimerProc(UpdateSession& session);

// The longest a tick waits for the stream's last echo; the rest of the wait runs on later ticks.
constexpr Clock::Duration kFinishSlice = std::chrono::milliseconds(50);

// Stops a session from outside (close, port dialog, window destruction) and shows no box. It
// never waits for the worker: while streaming, the worker is told to stop (the pause already
// begun still runs out on it, the device may need it), the window shows "Please wait..." and
// false is returned; the worker sends the end byte as it ends, and a later call or tick then
// closes the ports, restores the window and makes lastOutcome Stopped. While the start is asking
// its question: the start is refused as soon as the question returns (nothing has been sent yet).
// While the last echo is awaited: the wait is given up. Returns true when the session's ports
// are no longer in use.
bool StopUpdateSession(UpdateSession& session);

}  // namespace varnet
