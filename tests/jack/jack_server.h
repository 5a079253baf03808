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

  // Starts `jackd -n name ...`, points JACK_DEFAULT_SERVER at it and waits until a client can
  // connect (at most 10 s). False when it did not come up.
  bool start(const std::string& name);
  void stop();
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace varnet::testing
