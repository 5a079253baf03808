// The update session: from a press of Run Update to the outcome box. It works through the
// window's SessionView, so the same session runs in the desktop window, the command line and
// tests.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "engine/engine.h"

namespace varnet {

constexpr int IDT_UPDATE_PROGRESS = 20231;
constexpr int kProgressTimerMs = 200;

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
};

struct UpdateSession {
  UpdateSession(Engine& engine, SessionView& view, const std::string& firmwarePath)
      : engine(engine), view(view), firmwarePath(firmwarePath) {}
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;
  ~UpdateSession();

  Engine& engine;
  SessionView& view;
  const std::string& firmwarePath;  // empty: no firmware loaded

  std::thread workerThread;
  std::atomic<bool> workerEnded{false};
  std::atomic<bool> timerAlive{false};
  // True from an accepted Run Update press until the session has been refused or finished.
  std::atomic<bool> inProgress{false};
};

void OnRunUpdate(UpdateSession& session);
void StartUpdateSession(UpdateSession& session);
int StartUpdateWorker(UpdateSession& session);  // 0 started, -1 exists or could not be created
int UpdateWorkerMain(UpdateSession& session);
void SessionTimerProc(UpdateSession& session);
void FinishUpdateSession(UpdateSession& session);
void OpenSessionPorts(UpdateSession& session);
void CloseSessionPorts(UpdateSession& session);

// Stops a running session from outside (close, port dialog, window destruction): the worker is
// told to stop and joined, the end byte goes out, the ports are closed. Returns at once when no
// session is in progress.
void StopUpdateSession(UpdateSession& session);

}  // namespace varnet
