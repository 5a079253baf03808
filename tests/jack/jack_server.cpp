#include "jack_server.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "midi/backends/jack/jack_client.h"

extern char** environ;

namespace varnet::testing {
namespace {

std::string FindJackd() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    if (!dir.empty() && access((dir + "/jackd").c_str(), X_OK) == 0) return dir + "/jackd";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

// Ready means a client can be activated, not only opened: that is what every test does first.
bool ServerAcceptsActiveClient() {
  jack_status_t status{};
  jack_client_t* c = jack_client_open("probe", JackNoStartServer, &status);
  if (c == nullptr) return false;
  const bool ok = jack_activate(c) == 0;
  jack_client_close(c);
  return ok;
}

}  // namespace

bool JackdInstalled() {
  return !FindJackd().empty();
}

bool JackServer::start(const std::string& name, unsigned period) {
  stop();
  const std::string jackd = FindJackd();
  if (jackd.empty()) return false;
  name_ = name;
  setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  std::vector<std::string> args = {
      "jackd", "-n",    name, "--no-realtime",        "-S", "-p", "16", "-d", "dummy",
      "-r",    "48000", "-p", std::to_string(period), "-C", "0",  "-P", "0"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Everything the child needs is prepared here: between fork and exec only async-signal-safe
  // calls are allowed in a process with threads.
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A crashed or killed test must not leave its server running: the server holds one of the
    // few slots of JACK's shared registry, and enough leftovers make every later start fail.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);
    setpgid(0, 0);  // out of the way of signals meant for the test's terminal or group
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    // Nor may it hold the test's pipes open (the runner's output, a death test's status pipe):
    // whoever reads them would wait for the server instead of the test.
    close_range(3, ~0U, 0);
    execve(jackd.c_str(), argv.data(), environ);
    _exit(127);
  }
  pid_ = pid;
  jackmidi::SilenceJackLibrary();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // it gave up: no use waiting
      pid_ = -1;
      stop();
      return false;
    }
    if (ServerAcceptsActiveClient()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop();
  return false;
}

void JackServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    bool gone = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!gone && std::chrono::steady_clock::now() < deadline) {
      gone = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (name_.empty()) return;
  // Clients that outlived their server leave their semaphores behind; the names are ours alone.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("jack_sem.0_" + name_ + "_", 0) == 0 ||
        file.rfind("jack_" + name_ + "_", 0) == 0)
      std::filesystem::remove(entry.path(), ignored);
  }
}

}  // namespace varnet::testing
