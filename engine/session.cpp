#include "engine/session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/thread_priority.h"

namespace varnet {

const char* const kNoFirmwareText = "No firmware file loaded!";
const char* const kEmptyPayloadText =
    "The firmware file holds no data! Please select the firmware file again.";
const char* const kCancelQuestionText =
    "Update is not complete! Please make sure the update was completed successfully before you "
    "switch off the device. Otherwise it will have to be sent in for service. Do you really want "
    "to cancel the update process?";
const char* const kFailedText =
    "Update failed! Do not switch off the device! Please try to use a different MIDI "
    "connection...";
const char* const kAbortedText =
    "Update aborted! Do not switch off the device! Please restart and complete the update...";
const char* const kDoneText =
    "Update done! Please switch the device off and on again to activate the new firmware.";
const char* const kNoTimerText =
    "Update not started: the progress timer could not be created. Nothing has been sent to the "
    "device.";
const char* const kNoWorkerText =
    "Update not started: the update thread could not be created. Do not switch off the device! "
    "Please restart the update...";

std::string WarningText() {
  return std::string(
             "WARNING! The update operation must not be interrupted! \nCancelling the update or "
             "powering off the ") +
         "device during the update process will destroy the boot sector.\nIn case the update "
         "fails or is cancelled by the user " +
         "do not power off the device! Restart the update until it has been completed "
         "successfully.\n\n" +
         "Do you want to continue?";
}

const char* const kOtherSendersCaption = "Other senders";
const char* const kOtherSendersOption = "--allow-other-senders";

namespace {

std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return list;
}

}  // namespace

std::string OtherSendersText(const std::vector<std::string>& senders) {
  return "Other programs send into the device's MIDI input: " + NameList(senders) +
         ".\nTheir messages would mix into the firmware stream, and a single note or clock "
         "message there breaks the update. Disconnect them before you update.\n\nDo you want to "
         "update anyway?";
}

std::string JoinedSendersText(const std::vector<std::string>& senders) {
  return "Another program connected to the device's MIDI input: " + NameList(senders) +
         ". The update has not started. Disconnect it and start the update again.";
}

namespace {

constexpr const char* kStartUpdateCaption = "Start Update";
// How long the finish waits for the echo of the stream's last bytes (at most one 128-byte block
// and the end byte: about 45 ms on a MIDI cable, plus the device's own delay).
constexpr Clock::Duration kFinalEchoBound = std::chrono::milliseconds(500);
constexpr const char* kCancelCaption = "Cancel...";

BoxAnswer Show(UpdateSession& session, const std::string& text, const char* caption, BoxIcon icon,
               BoxButtons buttons = BoxButtons::Ok) {
  return session.engine.prompts.showBox({text, caption, icon, buttons, nullptr});
}

void ReportOutcome(Engine& engine, const char* outcome) {
  EngineEvent event{EngineEvent::Kind::Outcome};
  event.text = outcome;
  event.offset = engine.image.echoVerifiedCount;
  event.length = engine.image.sentLogCount;
  Report(engine, event);
}

// The session's transitions, all of them (docs/ARCHITECTURE.md draws them as a table). Every
// change of phase goes through Enter, which also repaints the status at once: what the status
// shows follows from the phase and the engine's state, and both may just have changed.
bool Allowed(SessionPhase from, SessionPhase to) {
  using P = SessionPhase;
  switch (from) {
    case P::Idle:
      return to == P::Starting;
    case P::Starting:
      return to == P::Idle || to == P::StartCancelled || to == P::Streaming;
    case P::StartCancelled:
      return to == P::Idle;
    case P::Streaming:
      return to == P::Stopping || to == P::Finishing;
    case P::Stopping:
      return to == P::Idle;
    case P::Finishing:
      return to == P::Idle;
  }
  return false;
}

void Enter(UpdateSession& session, SessionPhase to) {
  if (!Allowed(session.phase, to)) std::abort();  // a transition the table does not hold
  session.phase = to;
  session.inProgress.store(to != SessionPhase::Idle);
  session.view.invalidateProgress();
}

// Where a start was refused. When the ports could not be opened, the opening operation has shown
// its box; a port that did open stays open and is taken over by the next start.
enum class RefusedAt { OpeningPorts, AfterPortsOpened };

// A start that ends before the stream: the window goes back to its idle look, and the ports
// the start opened are closed. `aborted` keeps what the handshake left in it.
void RefuseStart(UpdateSession& session, RefusedAt at = RefusedAt::AfterPortsOpened) {
  Engine& engine = session.engine;
  const bool portsOpened = at == RefusedAt::AfterPortsOpened;
  session.view.setRunUpdateCaption(kStartUpdateCaption);
  session.view.setSelectFileEnabled(true);
  if (portsOpened) {
    engine.port.close();
    engine.SessionState.store(Idle);
    engine.image.bytesSent.store(0);
  }
  session.lastOutcome = SessionOutcome::Refused;
  Enter(session, SessionPhase::Idle);
  if (portsOpened) ReportOutcome(engine, "refused");
}

// Tells the worker to stop the way a confirmed cancel does. Only a Running stream is cancelled:
// once the stream has ended or failed on its own, that outcome stands. `aborted` is set before
// the state leaves Running: the encoder re-checks `aborted` after it enters Running, and leaves
// the state alone at its end while `aborted` is set, so no order of the two threads lets the
// stream run on after the cancel.
bool CancelRunningStream(Engine& engine) {
  engine.aborted.store(1);
  int32_t expected = Running;
  if (engine.SessionState.compare_exchange_strong(expected, Idle)) {
    engine.stopRequested.store(1);  // the send under way ends at its next piece
    return true;
  }
  // Idle: the worker saw `aborted` clear at its end and finished the stream; that stands.
  // VerifyFailed: the echo check has set `aborted` itself.
  if (expected == Idle) engine.aborted.store(0);
  return false;
}

bool WorkerGone(const UpdateSession& session) {
  return session.workerEnded.load() || !session.workerThread.joinable();
}

void JoinWorker(UpdateSession& session) {
  if (session.workerThread.joinable()) session.workerThread.join();
}

void StopTimer(UpdateSession& session) {
  session.view.killProgressTimer();
  session.timerAlive.store(false);
}

// The end of a stream stopped from outside, once its worker has ended (or, in the destructor,
// after waiting for it) and so has sent the end byte: the ports, and the engine's records as at
// rest.
void CloseStoppedStream(UpdateSession& session) {
  JoinWorker(session);
  session.engine.port.close();
  session.engine.SessionState.store(Idle);
  session.engine.image.bytesSent.store(0);
  session.engine.aborted.store(0);
}

void RestoreIdleWindow(UpdateSession& session) {
  session.view.setRunUpdateCaption(kStartUpdateCaption);
  session.view.setRunUpdateEnabled(true);
  session.view.setSelectFileEnabled(true);
}

// Stopping or Finishing to Idle without a box: stopped from outside.
void EndStopped(UpdateSession& session) {
  StopTimer(session);
  CloseStoppedStream(session);
  // Stopped from outside, the session shows nothing more, and asks nothing more either.
  session.engine.port.discardDeferredBoxes();
  session.engine.prompts.closeSessionQuestions();
  RestoreIdleWindow(session);
  session.lastOutcome = SessionOutcome::Stopped;
  ReportOutcome(session.engine, "stopped");
  Enter(session, SessionPhase::Idle);
}

// Streaming to Finishing: the worker has ended with the end byte; its buffers are back and the
// wait for the last echo begins.
void BeginFinish(UpdateSession& session) {
  Engine& engine = session.engine;
  JoinWorker(session);
  BeginFinalEcho(engine, session.finalEcho, kFinalEchoBound);
  Enter(session, SessionPhase::Finishing);
}

// Finishing to Idle: the outcome boxes.
void ConcludeFinish(UpdateSession& session) {
  Engine& engine = session.engine;
  StopTimer(session);
  // A cancel or close question still open has lost its object: it goes before the outcome.
  engine.prompts.closeSessionQuestions();
  session.engine.port.close();
  engine.port.showDeferredBoxes();  // what the worker asked for since the last tick

  // Read after the join, so the outcome includes the worker's last writes.
  const bool failed = engine.SessionState.load() == VerifyFailed;
  ReportOutcome(engine, failed ? "failed" : engine.aborted.load() == 1 ? "aborted" : "done");
  if (failed) Show(session, kFailedText, "Error!", BoxIcon::Error);
  if (engine.aborted.load() == 1) {
    Show(session, kAbortedText, "Abort!", BoxIcon::Error);
    engine.aborted.store(0);
    session.lastOutcome = failed ? SessionOutcome::Failed : SessionOutcome::Aborted;
  } else {
    Show(session, kDoneText, "Done!", BoxIcon::Information);
    session.lastOutcome = SessionOutcome::Done;
  }

  engine.SessionState.store(Idle);
  engine.image.bytesSent.store(0);
  RestoreIdleWindow(session);
  Enter(session, SessionPhase::Idle);
}

}  // namespace

void OnRunUpdate(UpdateSession& session) {
  Engine& engine = session.engine;
  if (session.firmwarePath.empty()) {
    Show(session, kNoFirmwareText, "Error!", BoxIcon::Error);
    return;
  }
  // A press while the cancel question is on screen, or while a session is being started,
  // stopped or finished (its boxes and waits let clicks through), belongs to the session already
  // under way: it must not start a second one over it. The open question is the answer to it.
  if (session.cancelQuestionOpen) return;
  const bool running =
      session.phase == SessionPhase::Streaming && engine.SessionState.load() == Running;
  if (session.phase != SessionPhase::Idle && !running) return;

  // A payload of 0 bytes (a cancelled file dialog keeps the path but empties the payload) would
  // send a header, one stray byte and the end byte, then report success.
  if (!running && engine.image.payloadLength == 0) {
    Show(session, kEmptyPayloadText, "Error!", BoxIcon::Error);
    return;
  }

  engine.DeviceId = kSessionDeviceId;

  if (running) {
    const uint64_t generation = session.generation;
    session.cancelQuestionOpen = true;
    const BoxAnswer answer = session.engine.prompts.showBox(
        {kCancelQuestionText, "Warning!", BoxIcon::Warning, BoxButtons::OkCancel, nullptr, true});
    session.cancelQuestionOpen = false;
    if (answer == BoxAnswer::Cancel) return;
    // The timer kept running under the question: the stream may have ended, failed or been
    // finished meanwhile. A late OK then has nothing left to cancel and must not leave the
    // button disabled or `aborted` set behind a finished session.
    if (session.generation != generation || session.phase != SessionPhase::Streaming) return;
    if (!CancelRunningStream(engine)) return;
    session.view.setRunUpdateEnabled(false);
    session.view.invalidateProgress();
    return;
  }

  session.view.setRunUpdateCaption(kCancelCaption);
  engine.aborted.store(0);
  StartUpdateSession(session);
}

namespace {

// A new session's records: nothing sent, echoed or received yet.
void ResetForStart(UpdateSession& session) {
  FirmwareImage& image = session.engine.image;
  Enter(session, SessionPhase::Starting);
  ++session.generation;
  session.workerEnded.store(false);

  image.sentLogCount = 0;
  image.echoVerifiedCount = 0;
  session.engine.port.clearInput();
}

// After the warning was answered Yes: the timer, the header and the worker. A failure closes
// the stream's message and refuses the start.
void BeginStream(UpdateSession& session) {
  Engine& engine = session.engine;
  session.view.setSelectFileEnabled(false);
  // The timer comes before the header: a session that cannot be watched is refused while
  // nothing of the stream has gone out yet.
  if (!session.view.startProgressTimer()) {
    Show(session, kNoTimerText, "Error!", BoxIcon::Error);
    RefuseStart(session);
    return;
  }
  session.timerAlive.store(true);

  // Where the MIDI system cannot hold the device's input for us alone, somebody may have
  // connected while the start was asking: the stream begins only on the input the user agreed to.
  std::vector<std::string> joined;
  for (std::string& sender : engine.port.otherSenders()) {
    if (std::find(session.agreedSenders.begin(), session.agreedSenders.end(), sender) ==
        session.agreedSenders.end()) {
      joined.push_back(std::move(sender));
    }
  }
  if (!joined.empty()) {
    session.view.killProgressTimer();
    session.timerAlive.store(false);
    RefuseStart(session);
    Show(session, JoinedSendersText(joined), "Error!", BoxIcon::Error);
    return;
  }

  SendStartUpdateHeader(engine);
  // From here on bytesSent counts the stream's bytes (the encoder starts it afresh, too).
  engine.image.bytesSent.store(0);
  engine.SessionState.store(Running);

  if (StartUpdateWorker(session) != 0) {
    StopTimer(session);
    engine.SessionState.store(Idle);
    // The header has opened the System Exclusive message: close it before the ports go.
    SendEndOfExclusive(engine);
    RefuseStart(session);
    std::string text = kNoWorkerText;
    if (!session.workerError.empty()) text += " (" + session.workerError + ")";
    Show(session, text, "Error!", BoxIcon::Error);
    return;
  }
  Enter(session, SessionPhase::Streaming);
  // The Run Update button stays enabled with the caption "Cancel...": it is the cancel button.
}

}  // namespace

void StartUpdateSession(UpdateSession& session) {
  Engine& engine = session.engine;
  FirmwareImage& image = engine.image;
  ResetForStart(session);

  session.view.setSelectFileEnabled(false);
  if (!engine.port.open()) {
    RefuseStart(session, RefusedAt::OpeningPorts);
    return;
  }

  engine.port.startInput();  // a failure shows its own box; the handshake then fails for no reply

  // The identification holds this thread for 500 ms: the window shows "Cancel..." first.
  session.view.paintNow();
  if (IdentifyDevice(engine) == 0 || session.phase != SessionPhase::Starting) {
    RefuseStart(session);
    return;
  }

  // Drops the identify request from the log so that the header becomes its first entry. The
  // log can be shorter than 24 bytes for a tiny payload.
  std::fill_n(image.SentLog.begin(), std::min<std::size_t>(24, image.SentLog.size()), 0);
  image.sentLogCount = 0;
  image.echoVerifiedCount = 0;

  // Another program's bytes would mix into the stream (a channel message ends the device's System
  // Exclusive message): the user decides before the warning, and the default is not to.
  session.agreedSenders = engine.port.otherSenders();
  if (!session.agreedSenders.empty()) {
    BoxRequest question{OtherSendersText(session.agreedSenders), kOtherSendersCaption,
                        BoxIcon::Warning, BoxButtons::YesNo};
    question.defaultNo = true;
    question.agreeOption = kOtherSendersOption;
    if (engine.prompts.showBox(question) != BoxAnswer::Yes ||
        session.phase != SessionPhase::Starting) {
      RefuseStart(session);
      return;
    }
  }

  const BoxAnswer answer =
      Show(session, WarningText(), "Warning", BoxIcon::Warning, BoxButtons::YesNo);
  if (answer == BoxAnswer::No || session.phase != SessionPhase::Starting) {
    RefuseStart(session);
    return;
  }
  BeginStream(session);
}

int StartUpdateWorker(UpdateSession& session) {
  if (session.workerThread.joinable()) return -1;
  session.workerEnded.store(false);
  session.workerError.clear();
  auto body = [&session] { UpdateWorkerMain(session); };
  try {
    session.workerThread = session.createWorker ? session.createWorker(body) : std::thread(body);
  } catch (const std::system_error& error) {
    session.workerError = error.what();
    return -1;
  }
  if (!session.workerThread.joinable()) {
    session.workerError = "no thread was created";
    return -1;
  }
  return 0;
}

int UpdateWorkerMain(UpdateSession& session) {
  RaiseCurrentThreadPriority();
  try {
    StreamPayload(session.engine);
  } catch (...) {
    // An escaping exception would end the whole program with the stream still open. Report it
    // as a failed update instead; the finish still sends the end byte.
    session.engine.aborted.store(1);
    session.engine.SessionState.store(VerifyFailed);
  }
  // The stream's message is closed by the thread that sent it, whatever ended the stream: after
  // a delivery failure the end byte waits for the output's reset, which must not hold the window.
  try {
    SendEndOfExclusive(session.engine);
  } catch (...) {
    session.engine.aborted.store(1);
    session.engine.SessionState.store(VerifyFailed);
  }
  session.workerEnded.store(true);
  return 0;
}

void SessionTimerProc(UpdateSession& session) {
  if (!session.timerAlive.load()) return;
  session.view.invalidateProgress();
  Engine& engine = session.engine;
  if (session.phase == SessionPhase::Stopping) {
    // Nothing more is shown for a session stopped from outside; the window waits for the
    // worker's end without blocking and then closes the stream.
    engine.port.discardDeferredBoxes();
    if (WorkerGone(session)) EndStopped(session);
    return;
  }
  // Boxes the worker asked for are shown here, on this thread, in the order it asked. The
  // session is not finished under one of them: its outcome comes after the user has seen it.
  engine.port.showDeferredBoxes();
  if (engine.port.deferredBoxOpen() || !session.timerAlive.load()) return;
  if (session.phase == SessionPhase::Streaming) {
    const bool workerGone = WorkerGone(session);
    if (engine.SessionState.load() == Running) {
      // A worker that ended with the state still Running can only have been stopped by
      // something unforeseen; finish it as an interrupted update rather than wait for ever.
      if (!workerGone) return;
      engine.SessionState.store(Idle);
      engine.aborted.store(1);
    }
    // After a cancel the worker may still be inside a pause of up to 15 s. Waiting for it here
    // would freeze the window; the tick after its end finishes instead, and until then the
    // status keeps showing "Please wait...".
    if (!workerGone) return;
    BeginFinish(session);
  }
  if (session.phase != SessionPhase::Finishing) return;
  if (!StepFinalEcho(engine, session.finalEcho, kFinishSlice)) return;
  ConcludeFinish(session);
}

bool StopUpdateSession(UpdateSession& session) {
  switch (session.phase) {
    case SessionPhase::Idle:
      return true;
    case SessionPhase::Starting:
      // Nothing of the stream has gone out yet; the start sees the request when its handshake
      // or question returns and refuses.
      Enter(session, SessionPhase::StartCancelled);
      return false;
    case SessionPhase::StartCancelled:
      return false;
    case SessionPhase::Finishing:
      // The end byte is out; the wait for the last echo has lost its object.
      EndStopped(session);
      return true;
    case SessionPhase::Streaming:
      CancelRunningStream(session.engine);
      session.engine.port.discardDeferredBoxes();
      session.engine.prompts.closeSessionQuestions();
      session.view.setRunUpdateEnabled(false);
      session.view.setSelectFileEnabled(false);
      Enter(session, SessionPhase::Stopping);
      break;
    case SessionPhase::Stopping:
      break;
  }
  if (!WorkerGone(session)) return false;
  EndStopped(session);
  return true;
}

UpdateSession::~UpdateSession() {
  if (!SessionStreamLive(phase) && !workerThread.joinable()) return;
  // The view may already be gone: only the stream and the ports are dealt with, and the worker
  // is waited for here, the one wait left, since nothing is shown any more.
  timerAlive.store(false);
  CancelRunningStream(engine);
  CloseStoppedStream(*this);
  phase = SessionPhase::Idle;
  inProgress.store(false);
}

}  // namespace varnet
