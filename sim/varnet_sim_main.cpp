// varnet-sim: the simulated converter behind real MIDI ports (ALSA sequencer or JACK), for
// trying the updater end to end without a device. It reports what it received and can write the
// decoded symbols to a file for comparison with the firmware. With --rawmidi it is the device at
// the far end of a raw MIDI node instead, as a converter behind a USB MIDI interface is.
//
// Windows' MIDI service lets no program publish ports of its own and has no raw MIDI nodes, so
// the Windows build has no device to serve: it keeps what needs no port (--symbols-of).
#ifndef _WIN32
#define VARNET_SIM_PORTS 1
#include <signal.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "core/clock.h"
#include "engine/firmware_file.h"
#include "sim/converter.h"
#ifdef VARNET_SIM_PORTS
#include "sim/raw_midi_node.h"
#endif
#ifdef VARNET_HAVE_ALSA
#include "midi/backends/alsa/alsa_platform.h"
#endif
#ifdef VARNET_HAVE_JACK
#include "midi/backends/jack/jack_client.h"
#endif

namespace varnet::sim {
namespace {

struct Options {
  std::string kind = "da";
  std::vector<std::string> faults;
  bool alsa = false;
  bool jack = false;
  std::string rawmidi;
  std::string name = "varnet-sim";
  std::string symbolsOut;
  std::string receivedOut;
  std::string expect;
  std::string symbolsOf;
  double minGapMs = 0;  // 0: no check
};

std::string SymbolText(const std::vector<int8_t>& symbols) {
  std::string text;
  text.reserve(symbols.size() + 1);
  for (int8_t s : symbols) text.push_back(s < 0 ? '-' : static_cast<char>('0' + s));
  text.push_back('\n');
  return text;
}

bool LoadPayload(const std::string& path, std::vector<uint8_t>& payload, std::string& error) {
  FileBuffer buffer;
  FirmwareImage image;
  const FirmwareLoad load = LoadFirmwareFile(path, buffer, image);
  if (!load.loaded()) {
    error = load.status == FirmwareLoadStatus::Unreadable ? load.reason : "not a firmware file";
    return false;
  }
  payload.assign(image.PayloadBuffer.begin(), image.PayloadBuffer.begin() + image.payloadLength);
  return true;
}

// Prints what firmware `path` should decode to. The exit status.
int PrintSymbolsOf(const std::string& path) {
  std::vector<uint8_t> payload;
  std::string error;
  if (!LoadPayload(path, payload, error)) {
    std::cerr << "varnet-sim: " << path << ": " << error << "\n";
    return 2;
  }
  std::cout << SymbolText(ExpectStream(payload).symbols);
  return 0;
}

#ifdef VARNET_SIM_PORTS

// When each message from the host arrived: the smallest gap between two shows whether the host
// kept its spacing at the device, whatever the transport did on the way.
class ArrivalLog {
 public:
  void add(TimePoint at) {
    std::scoped_lock lock(mutex_);
    if (count_ > 0 && at - last_ < minGap_) {
      minGap_ = at - last_;
      minGapBefore_ = count_;
    }
    last_ = at;
    ++count_;
  }
  // "N messages, smallest gap G ms (before message K)".
  std::string describe() const {
    std::scoped_lock lock(mutex_);
    std::string text = std::to_string(count_) + " messages";
    if (count_ < 2) return text;
    char gap[64];
    std::snprintf(gap, sizeof gap, ", smallest gap %.3f ms (before message %llu)",
                  static_cast<double>(minGap_.count()) / 1000.0,
                  static_cast<unsigned long long>(minGapBefore_ + 1));
    return text + gap;
  }
  bool anyCloserThan(Duration gap) const {
    std::scoped_lock lock(mutex_);
    return count_ >= 2 && minGap_ < gap;
  }

 private:
  mutable std::mutex mutex_;
  uint64_t count_ = 0;
  TimePoint last_{};
  Duration minGap_ = Duration::max();
  uint64_t minGapBefore_ = 0;
};

// Where the device's bytes come from and go to.
class Transport {
 public:
  virtual ~Transport() = default;
  // False when there is no room right now; the caller tries again.
  virtual bool send(const uint8_t* data, std::size_t size) = 0;
  virtual std::string describe() const = 0;
  // False once the MIDI server, or the raw MIDI node, has gone away.
  virtual bool alive() const { return true; }
  // Received messages the transport had to drop (no room while the reader was held up).
  virtual uint64_t droppedInput() const { return 0; }
};

// Bytes of one message from the host and the moment they reached the device.
using Receive = std::function<void(const uint8_t*, std::size_t, TimePoint)>;

#ifdef VARNET_HAVE_JACK
class JackTransport final : public Transport {
 public:
  static std::unique_ptr<Transport> Open(const std::string& name, Receive receive,
                                         std::string& error) {
    jackmidi::JackMidiClient::Events events;
    // The frame each message was written at, not the moment the delivery thread passes it on:
    // with a long period a whole cycle's messages are delivered at once, which would hide both
    // their spacing and the pauses between them.
    events.receivedAt = [receive = std::move(receive)](const uint8_t* data, std::size_t size,
                                                       uint64_t usecs) {
      receive(data, size, TimePoint(Duration(static_cast<Duration::rep>(usecs))));
    };
    jack_status_t status{};
    auto client = jackmidi::JackMidiClient::Open(name, std::move(events), &status);
    if (!client) {
      error = (status & JackServerFailed) ? "no JACK server is running"
                                          : "cannot open a JACK client (status " +
                                                std::to_string(static_cast<int>(status)) + ")";
      return nullptr;
    }
    client->setInputEnabled(true);
    // A device answers when it has something to say; see setSendsKeepGaps.
    client->setSendsKeepGaps(false);
    auto t = std::make_unique<JackTransport>();
    t->client_ = std::move(client);
    return t;
  }
  bool send(const uint8_t* data, std::size_t size) override { return client_->send(data, size, 0); }
  bool alive() const override { return !client_->serverGone(); }
  uint64_t droppedInput() const override { return client_->droppedInputEvents(); }
  std::string describe() const override {
    return "JACK ports " + client_->inputPortName() + " (receives) and " +
           client_->outputPortName() + " (sends)";
  }

 private:
  std::unique_ptr<jackmidi::JackMidiClient> client_;
};
#endif

#ifdef VARNET_HAVE_ALSA
class AlsaTransport final : public Transport {
 public:
  static std::unique_ptr<Transport> Open(const std::string& name, Receive receive,
                                         std::string& error) {
    int err = 0;
    auto ports = AlsaPublishedPorts::Open(
        name,
        [receive = std::move(receive)](const uint8_t* data, std::size_t size) {
          receive(data, size, RealClock().now());
        },
        &err);
    if (!ports) {
      error = "cannot open the ALSA sequencer: " + AlsaResultText(kAlsaResultBase | -err);
      return nullptr;
    }
    auto t = std::make_unique<AlsaTransport>();
    t->ports_ = std::move(ports);
    t->name_ = name;
    return t;
  }
  bool send(const uint8_t* data, std::size_t size) override { return ports_->send(data, size); }
  std::string describe() const override {
    return "ALSA sequencer ports \"" + name_ + " in\" (receives) and \"" + name_ + " out\" (sends)";
  }

 private:
  std::unique_ptr<AlsaPublishedPorts> ports_;
  std::string name_;
};
#endif

// The device behind a raw MIDI node: what the host sends through its MIDI system comes out of
// the node, and what is written to the node goes back to the host.
class RawMidiTransport final : public Transport {
 public:
  static std::unique_ptr<Transport> Open(const std::string& path, Receive receive,
                                         std::string& error) {
    auto node = RawMidiNode::Open(
        path,
        [receive = std::move(receive)](const uint8_t* data, std::size_t size) {
          receive(data, size, RealClock().now());
        },
        error);
    if (!node) return nullptr;
    auto t = std::make_unique<RawMidiTransport>();
    t->node_ = std::move(node);
    return t;
  }
  // Bytes the node refuses are dropped, as for a cable that has gone; alive() then says so.
  bool send(const uint8_t* data, std::size_t size) override {
    node_->write(data, size);
    return true;
  }
  bool alive() const override { return !node_->failed(); }
  std::string describe() const override { return "raw MIDI node " + node_->path(); }

 private:
  std::unique_ptr<RawMidiNode> node_;
};

std::unique_ptr<Transport> OpenTransport(const Options& o, Receive receive, std::string& error) {
  if (!o.rawmidi.empty()) return RawMidiTransport::Open(o.rawmidi, std::move(receive), error);
  const bool tryAlsa = o.alsa || !o.jack;
  const bool tryJack = o.jack || !o.alsa;
  std::string alsaError, jackError;
#ifdef VARNET_HAVE_ALSA
  if (tryAlsa)
    if (auto t = AlsaTransport::Open(o.name, receive, alsaError)) return t;
#else
  if (tryAlsa) alsaError = "built without ALSA";
#endif
#ifdef VARNET_HAVE_JACK
  if (tryJack)
    if (auto t = JackTransport::Open(o.name, receive, jackError)) return t;
#else
  if (tryJack) jackError = "built without JACK";
#endif
  error = alsaError.empty() ? jackError
                            : (jackError.empty() ? alsaError : alsaError + "; " + jackError);
  return nullptr;
}

// Whether `path` can be written, found by opening it for appending (which changes nothing in an
// existing file); a file made only for the question is removed again.
bool CanWrite(const std::string& path, std::string& error) {
  std::error_code ec;
  const bool existed = std::filesystem::exists(path, ec);
  if (std::filesystem::is_directory(path, ec)) {
    error = std::generic_category().message(EISDIR);
    return false;
  }
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) {
    error = std::generic_category().message(errno != 0 ? errno : EACCES);
    return false;
  }
  std::fclose(file);
  if (!existed) std::filesystem::remove(path, ec);
  return true;
}

void PrintSummary(const SimulatedConverter& device, const ArrivalLog& arrivals) {
  const StreamDecode d = device.decoded();
  std::cout << "received " << device.received().size() << " bytes, " << device.identifyRequests()
            << " identify request(s), echoed " << device.echoedBytes() << " bytes\n";
  std::cout << "arrivals: " << arrivals.describe() << "\n";
  if (d.bodyBytes > 0)
    std::cout << "stream body took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(d.lastBodyAt - d.firstBodyAt)
                     .count()
              << " ms from its first byte to its last\n";
  std::cout << "stream: header " << (d.headerSeen ? "seen" : "not seen") << ", "
            << (d.ended ? "ended" : "not ended") << ", body " << d.bodyBytes << " bytes, "
            << d.symbols.size() << " symbols decoded, " << d.pauses.size() << " pauses observed\n";
  for (const ObservedPause& p : d.pauses)
    std::cout << "  pause after symbol " << p.symbolIndex << ": "
              << std::chrono::duration_cast<std::chrono::milliseconds>(p.gap).count() << " ms"
              << (p.inferred ? " (announced)" : "") << "\n";
  for (const std::string& v : d.violations) std::cout << "  violation: " << v << "\n";
  std::cout.flush();
}

// What the device made of the stream: written to the symbols file, compared with the firmware.
bool Report(const SimulatedConverter& device, const ArrivalLog& arrivals, const Options& o) {
  PrintSummary(device, arrivals);
  const StreamDecode d = device.decoded();
  bool ok = true;
  if (o.minGapMs > 0 &&
      arrivals.anyCloserThan(Duration(static_cast<Duration::rep>(o.minGapMs * 1000.0)))) {
    std::cout << "gap check failed: two messages arrived closer than " << o.minGapMs << " ms\n";
    ok = false;
  }
  if (!o.symbolsOut.empty()) {
    std::ofstream out(o.symbolsOut, std::ios::binary | std::ios::trunc);
    out << SymbolText(d.symbols);
    if (!out) {
      std::cerr << "varnet-sim: cannot write " << o.symbolsOut << "\n";
      ok = false;
    }
  }
  if (!o.receivedOut.empty()) {
    const std::vector<uint8_t> bytes = device.received();
    std::ofstream out(o.receivedOut, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << "varnet-sim: cannot write " << o.receivedOut << "\n";
      ok = false;
    }
  }
  if (!o.expect.empty()) {
    std::vector<uint8_t> payload;
    std::string error;
    if (!LoadPayload(o.expect, payload, error)) {
      std::cerr << "varnet-sim: " << o.expect << ": " << error << "\n";
      return false;
    }
    const std::string diff = CompareStream(ExpectStream(payload), d);
    if (diff.empty()) {
      std::cout << "stream matches " << o.expect << "\n";
    } else {
      std::cout << "stream differs from " << o.expect << ": " << diff << "\n";
      ok = false;
    }
  }
  std::cout.flush();
  return ok;
}

// The files named for the report are checked before the device goes live: a typo must not
// cost a whole update before it shows.
bool ReportFilesUsable(const Options& o) {
  std::string error;
  std::vector<uint8_t> payload;
  if (!o.expect.empty() && !LoadPayload(o.expect, payload, error)) {
    std::cerr << "varnet-sim: --expect " << o.expect << ": " << error << "\n";
    return false;
  }
  if (!o.symbolsOut.empty() && !CanWrite(o.symbolsOut, error)) {
    std::cerr << "varnet-sim: --symbols-out " << o.symbolsOut << ": " << error << "\n";
    return false;
  }
  return true;
}

// The device the options describe; false after saying which fault it could not take.
bool MakeConfig(const Options& o, ConverterConfig& config) {
  config.kind = ParseKind(o.kind).value_or(kKindDA);
  for (const std::string& f : o.faults) {
    std::string error;
    if (!ParseFault(f, config.faults, error)) {
      std::cerr << "varnet-sim: --fault " << f << ": " << error << "\n";
      return false;
    }
  }
  if (config.faults.stallOutput)
    std::cerr << "varnet-sim: stall-output cannot be shown over real ports (the host's own MIDI "
                 "service completes its messages); ignored\n";
  return true;
}

void ReportDroppedInput(const Transport* transport) {
  if (transport && transport->droppedInput() != 0)
    std::cout << "varnet-sim: " << transport->droppedInput() << " received messages dropped\n";
}

// Serves the host until a stop signal or the loss of the MIDI server, telling what the device
// sees as it happens, and reports the stream once it ended (or at the stop). The exit status.
int Serve(SimulatedConverter& device, const ArrivalLog& arrivals,
          std::unique_ptr<Transport> transport, const sigset_t& stopSignals, const Options& o) {
  RealClock clock;
  std::vector<Emission> waiting;
  uint64_t identifySeen = 0;
  bool headerReported = false, endReported = false, unplugReported = false;
  auto lastCheck = clock.now();
  bool ok = true;
  bool serverLost = false;
  for (;;) {
    timespec tick{0, 1'000'000};
    const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      std::cout << "varnet-sim: stopping (" << (sig == SIGINT ? "SIGINT" : "SIGTERM") << ")\n";
      break;
    }
    if (transport && !transport->alive()) {
      std::cout << "varnet-sim: the MIDI server has gone away\n";
      serverLost = true;
      break;
    }
    for (Emission& e : device.takeEmissions()) waiting.push_back(std::move(e));
    const auto now = clock.now();
    // Due emissions go out in order; one that finds no room waits for the next tick.
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const Emission& a, const Emission& b) { return a.due < b.due; });
    std::size_t sent = 0;
    while (sent < waiting.size() && waiting[sent].due <= now && transport &&
           transport->send(waiting[sent].bytes.data(), waiting[sent].bytes.size()))
      ++sent;
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(sent));

    if (!device.present() && !unplugReported) {
      transport.reset();  // the ports disappear, like an unplugged cable
      unplugReported = true;
      std::cout << "varnet-sim: unplugged after " << device.received().size()
                << " bytes; ports closed\n";
      std::cout.flush();
    }
    if (now - lastCheck < std::chrono::milliseconds(100)) continue;
    lastCheck = now;
    if (device.identifyRequests() != identifySeen) {
      identifySeen = device.identifyRequests();
      std::cout << "varnet-sim: identify request " << identifySeen << " received\n";
      std::cout.flush();
    }
    const StreamDecode d = device.decoded();
    if (d.headerSeen && !headerReported) {
      headerReported = true;
      std::cout << "varnet-sim: stream header seen\n";
      std::cout.flush();
    }
    if (d.ended && !endReported) {
      endReported = true;
      std::cout << "varnet-sim: stream ended\n";
      ReportDroppedInput(transport.get());
      ok = Report(device, arrivals, o);
    }
  }
  if (!endReported) {
    ReportDroppedInput(transport.get());
    ok = Report(device, arrivals, o);
  }
  transport.reset();
  return ok && !serverLost ? 0 : 1;
}

int Run(const Options& o) {
  if (!o.symbolsOf.empty()) return PrintSymbolsOf(o.symbolsOf);
  if (!ReportFilesUsable(o)) return 2;
  ConverterConfig config;
  if (!MakeConfig(o, config)) return 2;

  // Signals are taken by sigtimedwait in the main loop: every thread started below inherits
  // the blocked mask, so none of them is interrupted.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  SimulatedConverter device(config);
  ArrivalLog arrivals;
  std::string error;
  // Sequencer and JACK ports hand the device its bytes as they arrive; behind a raw MIDI node the
  // device sits at the end of a cable, which spreads every burst over its wire time (a pause is
  // only as long as the cable leaves it).
  CableArrivals cable;
  const bool behindCable = !o.rawmidi.empty();
  std::unique_ptr<Transport> transport = OpenTransport(
      o,
      [&](const uint8_t* data, std::size_t size, TimePoint at) {
        if (device.present()) arrivals.add(at);
        if (behindCable)
          device.receive(data, size, cable.arrive(at, size), CableArrivals::kByteTime);
        else
          device.receive(data, size, at);
      },
      error);
  if (!transport) {
    std::cerr << "varnet-sim: " << error << "\n";
    return 1;
  }
  std::cout << "varnet-sim: " << (config.kind == kKindAD ? "AD" : "DA") << " converter on "
            << transport->describe() << "; stop with Ctrl-C\n";
  std::cout.flush();
  return Serve(device, arrivals, std::move(transport), stopSignals, o);
}

#else  // no VARNET_SIM_PORTS

constexpr char kNoPortsText[] =
    "On Windows no program can publish MIDI ports of its own, so this build cannot stand behind "
    "one as a converter: it prints what a firmware file decodes to (--symbols-of). To try an "
    "update without a converter, run varnet-flash update FILE --simulate, which has the simulated "
    "converter inside.";

int Run(const Options& o) {
  if (!o.symbolsOf.empty()) return PrintSymbolsOf(o.symbolsOf);
  std::cerr << "varnet-sim: no MIDI ports to serve on Windows; only --symbols-of FILE works here "
               "(see --help)\n";
  return 2;
}

#endif  // VARNET_SIM_PORTS

}  // namespace
}  // namespace varnet::sim

int main(int argc, char** argv) {
  varnet::sim::Options o;
#ifdef VARNET_SIM_PORTS
  CLI::App app{"varnet-sim: a simulated Varnet converter behind real MIDI ports"};
  app.add_option("--kind", o.kind, "Converter kind")->check(CLI::IsMember({"ad", "da"}));
  app.add_option("--fault", o.faults, varnet::sim::FaultHelp("Misbehave (repeatable):", "  "));
  auto* alsa = app.add_flag("--alsa", o.alsa, "Publish ALSA sequencer ports");
  auto* jack = app.add_flag("--jack", o.jack, "Publish JACK ports (needs a running server)");
  auto* rawmidi = app.add_option("--rawmidi", o.rawmidi,
                                 "Be the device behind raw MIDI node PATH (/dev/snd/midiC0D0)");
  alsa->excludes(jack);
  rawmidi->excludes(alsa)->excludes(jack);
  app.add_option("--name", o.name, "Client name (the port names contain it)");
  app.add_option("--symbols-out", o.symbolsOut,
                 "Write the decoded symbols (0-3, '-' for a lost one) to FILE");
  app.add_option("--received-out", o.receivedOut,
                 "Write every byte received (identify requests, stream) to FILE");
  app.add_option("--expect", o.expect, "Compare the decoded stream with firmware FILE");
#else
  CLI::App app{std::string("varnet-sim: the simulated Varnet converter's decoder\n\n") +
               varnet::sim::kNoPortsText};
  // As in varnet-flash: "/x" is no option, so a path such as /c/firmware/ad.jtg stays a path.
  app.allow_windows_style_options(false);
#endif
  app.add_option("--symbols-of", o.symbolsOf,
                 "Print the symbols firmware FILE should decode to, and exit");
#ifdef VARNET_SIM_PORTS
  app.add_option("--min-gap", o.minGapMs,
                 "Fail (exit 1) when two messages from the host arrive closer than MS ms; the "
                 "smallest gap is reported either way")
      ->check(CLI::NonNegativeNumber);
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // A usage error is a failure of ours like any other: 2, not the parser's own numbers.
    return app.exit(error) == 0 ? 0 : 2;
  }
  return varnet::sim::Run(o);
}
