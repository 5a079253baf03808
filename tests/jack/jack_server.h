// A private JACK server for tests: the dummy driver in synchronous mode under its own name, so
// that tests never meet a user's server or each other's.
#pragma once

#include <sys/types.h>

#include <string>

namespace varnet::testing {

bool JackdInstalled();

class JackServer {
 public:
  JackServer() = default;
  ~JackServer() { stop(); }
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  // Starts `jackd -n name ...` with `period` frames at 48 kHz, points JACK_DEFAULT_SERVER at it and
  // waits until a client can connect and activate (at most 10 s). False when it did not come up.
  // The server dies with the thread that started it, also when the test process crashes or is
  // killed by a timeout, so call this from the thread that runs the tests.
  bool start(const std::string& name, unsigned period = 128);
  // Stops the server (TERM, then KILL after 5 s) and removes what it left in /dev/shm.
  void stop();
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace varnet::testing
