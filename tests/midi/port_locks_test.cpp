// Port locks: two programs (here two lock holders of one folder, or a child process) on the same
// ports. The second open of a locked port is refused and names the holder; the lock goes with the
// close, or with the process however it ends.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "midi/backends/virtual/virtual_platform.h"
#include "midi/platform_base.h"
#include "midi/port_locks.h"

namespace varnet {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32

struct Folder {
  Folder() {
    path = fs::temp_directory_path() /
           ("varnet-port-locks-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    fs::create_directories(path);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  static inline int serial = 0;
  fs::path path;
};

std::string Holder(const std::string& program) {
  return program + ", pid " + std::to_string(::getpid());
}

TEST(PortLocks, SecondTakeIsRefusedAndNamesTheHolderUntilTheFirstGoes) {
  Folder folder;
  FilePortLocks first("first", folder.path.string());
  FilePortLocks second("second", folder.path.string());
  std::string holder;
  auto held = first.take("jack default sim:in", holder);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(second.take("jack default sim:in", holder), nullptr);
  EXPECT_EQ(holder, Holder("first"));
  // The same holder cannot take its own lock twice either: a window and its own second open.
  EXPECT_EQ(first.take("jack default sim:in", holder), nullptr);
  // Another port is another lock, however alike the names.
  EXPECT_NE(second.take("jack default sim:in2", holder), nullptr);
  held.reset();
  EXPECT_NE(second.take("jack default sim:in", holder), nullptr);
}

TEST(PortLocks, IdentitiesOfAnyCharactersNameFilesInTheFolder) {
  const std::vector<std::string> identities = {"alsa 24:0 Varnet/../../etc:port",
                                               std::string(600, 'x'), "", "jack default a:b c"};
  for (const std::string& identity : identities) {
    const fs::path path = PortLockPath("/some/folder", identity);
    EXPECT_EQ(path.parent_path(), fs::path("/some/folder")) << identity;
    EXPECT_LT(path.filename().string().size(), 40u) << identity;
  }
  EXPECT_NE(PortLockPath("/f", "in a"), PortLockPath("/f", "in b"));
}

TEST(PortLocks, ALockDiesWithItsProcess) {
  Folder folder;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FilePortLocks crashing("crashing update", folder.path.string());
    std::string holder;
    auto held = crashing.take("jack default sim:in", holder);
    const char byte = held ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(3);
    pause();  // killed while holding the lock, as a crash would end it
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(byte, 'y');
  FilePortLocks next("next update", folder.path.string());
  std::string holder;
  EXPECT_EQ(next.take("jack default sim:in", holder), nullptr);
  EXPECT_EQ(holder, "crashing update, pid " + std::to_string(child));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_NE(next.take("jack default sim:in", holder), nullptr);
}

TEST(PortLocks, AFolderThatCannotHoldLocksLocksNothing) {
  FilePortLocks nowhere("update", "/nonexistent/varnet-port-locks");
  std::string holder;
  auto a = nowhere.take("jack default sim:in", holder);
  auto b = nowhere.take("jack default sim:in", holder);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
}

struct Session {
  Session(VirtualMidiPlatform& platform, const fs::path& folder, const char* program)
      : locks(program, folder.string()), ports(platform, locks) {}
  uint32_t open(bool input, uint32_t device, MidiHandle& handle) {
    return input ? ports.inOpen(&handle, device, nullptr, 0)
                 : ports.outOpen(&handle, device, nullptr, 0);
  }
  uint32_t close(bool input, MidiHandle handle) {
    return input ? ports.inClose(handle) : ports.outClose(handle);
  }
  std::string errorText(bool input, uint32_t result) {
    return input ? ports.inGetErrorText(result) : ports.outGetErrorText(result);
  }
  FilePortLocks locks;
  LockingMidiPlatform ports;
};

TEST(LockingPlatform, APortAnotherSessionHoldsIsNotOpenedUntilItIsClosed) {
  struct Case {
    bool input;
    uint32_t device;
  };
  for (const Case c : {Case{true, 0}, Case{false, 0}, Case{true, 1}, Case{false, 1}}) {
    SCOPED_TRACE(std::string(c.input ? "in " : "out ") + std::to_string(c.device));
    Folder folder;
    VirtualClock clock;
    VirtualPlatformConfig config = VirtualPorts(2, 2);
    config.identity = "test";
    VirtualMidiPlatform platform(clock, config);
    Session running(platform, folder.path, "running update");
    Session second(platform, folder.path, "second update");
    MidiHandle held = 0;
    ASSERT_EQ(running.open(c.input, c.device, held), MMSYSERR_NOERROR);
    MidiHandle refused = 0;
    const uint32_t rc = second.open(c.input, c.device, refused);
    EXPECT_EQ(rc, kPortInUseResult);
    EXPECT_EQ(second.errorText(c.input, rc), PortInUseText(Holder("running update")));
    // The other side and the other port are free.
    MidiHandle other = 0;
    EXPECT_EQ(second.open(!c.input, c.device, other), MMSYSERR_NOERROR);
    EXPECT_EQ(second.close(!c.input, other), MMSYSERR_NOERROR);
    EXPECT_EQ(second.open(c.input, 1 - c.device, other), MMSYSERR_NOERROR);
    EXPECT_EQ(second.close(c.input, other), MMSYSERR_NOERROR);

    // A close the service refuses keeps the port, and with it the lock.
    platform.failOn(c.input ? VirtualOp::InClose : VirtualOp::OutClose, MIDIERR_STILLPLAYING, 1);
    EXPECT_EQ(running.close(c.input, held), MIDIERR_STILLPLAYING);
    EXPECT_EQ(second.open(c.input, c.device, refused), kPortInUseResult);
    EXPECT_EQ(running.close(c.input, held), MMSYSERR_NOERROR);
    EXPECT_EQ(second.open(c.input, c.device, refused), MMSYSERR_NOERROR);
    EXPECT_EQ(running.open(c.input, c.device, held), kPortInUseResult);
    EXPECT_EQ(running.errorText(c.input, kPortInUseResult), PortInUseText(Holder("second update")));
    EXPECT_EQ(second.close(c.input, refused), MMSYSERR_NOERROR);
  }
}

// A program whose own client shows among the other programs' devices (a JACK client's ports):
// here virtual input 1 and output 1 stand for them.
class WithOwnPorts final : public ForwardingMidiPlatform {
 public:
  explicit WithOwnPorts(VirtualMidiPlatform& inner)
      : ForwardingMidiPlatform(inner), inner_(inner) {}
  std::vector<OwnPort> ownPorts() override {
    return {{true, inner_.inPortIdentity(1)}, {false, inner_.outPortIdentity(1)}};
  }

 private:
  VirtualMidiPlatform& inner_;
};

TEST(LockingPlatform, OurOwnPortsAreHeldWhileAnyPortIsOpen) {
  Folder folder;
  VirtualClock clock;
  VirtualPlatformConfig config = VirtualPorts(2, 2);
  config.identity = "test";
  VirtualMidiPlatform platform(clock, config);
  WithOwnPorts updaterPorts(platform);
  FilePortLocks updaterLocks("running update", folder.path.string());
  LockingMidiPlatform updater(updaterPorts, updaterLocks);
  Session detect(platform, folder.path, "detect");

  MidiHandle in = 0, out = 0, probe = 0;
  ASSERT_EQ(updater.inOpen(&in, 0, nullptr, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(updater.outOpen(&out, 0, nullptr, 0), MMSYSERR_NOERROR);
  for (const bool input : {true, false}) {
    EXPECT_EQ(detect.open(input, 1, probe), kPortInUseResult) << input;
    EXPECT_EQ(detect.errorText(input, kPortInUseResult), PortInUseText(Holder("running update")));
  }
  // Still held while one port of the pair is open.
  ASSERT_EQ(updater.inClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(detect.open(true, 1, probe), kPortInUseResult);
  ASSERT_EQ(updater.outClose(out), MMSYSERR_NOERROR);
  for (const bool input : {true, false}) {
    ASSERT_EQ(detect.open(input, 1, probe), MMSYSERR_NOERROR) << input;
    EXPECT_EQ(detect.close(input, probe), MMSYSERR_NOERROR);
  }
}

TEST(LockingPlatform, AFailedOpenLeavesNoLockBehind) {
  Folder folder;
  VirtualClock clock;
  VirtualPlatformConfig config;
  config.identity = "test";
  VirtualMidiPlatform platform(clock, config);
  Session first(platform, folder.path, "first");
  Session second(platform, folder.path, "second");
  platform.failOn(VirtualOp::InOpen, MMSYSERR_NOMEM, 1);
  MidiHandle handle = 0;
  EXPECT_EQ(first.open(true, 0, handle), MMSYSERR_NOMEM);
  EXPECT_EQ(second.open(true, 0, handle), MMSYSERR_NOERROR);
  EXPECT_EQ(second.close(true, handle), MMSYSERR_NOERROR);
}

#endif

}  // namespace
}  // namespace varnet
