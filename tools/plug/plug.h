// A plug for pseudo-terminals: stands in for the cables of a multi-port board, so that the analyzer
// runs on Linux without serial hardware.
//
// It creates `count` pseudo-terminals and names their slave ends DIR/ttyV<first> ... as symbolic
// links, so that the analyzer with device prefix "DIR/ttyV" finds them. On the master side it is the
// wiring: a loopback plug per port (what the port sends comes back to its own input) or null-modem
// pairs (first <-> first+1, ...). Lines are paced at the rate and format the port has set (baud /
// (1 + data + parity + stop bits) bytes per second, baud / 10 for 8N1, read through the master)
// unless unpaced, and may corrupt or drop bytes, or drop whole blocks of 64 bytes, at random.
//
// The plug keeps a slave descriptor of its own open, so that ports may be opened and closed again
// while it runs. Everything it created is removed when it is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zplug {

struct options {
    std::string dir;  // where the links go; created if missing
    int count = 16;
    int first = 3;
    bool null_modem = false;  // pairs instead of loopback plugs; needs an even count
    bool paced = true;
    double corrupt = 0;  // probability per byte that it arrives with its top bit flipped
    double drop = 0;     // probability per byte that it is lost
    double drop_block = 0;  // probability per block of 64 bytes that it is lost whole
    uint64_t seed = 1;   // of the fault generator
};

struct port_counts {
    uint64_t bytes = 0;      // bytes delivered into the port's input
    uint64_t corrupted = 0;  // bytes corrupted on their way to the port
    uint64_t dropped = 0;    // bytes lost on their way to the port
};

class plug {
  public:
    // Creates the pseudo-terminals and the links; throws std::runtime_error naming what failed.
    explicit plug(const options& o);
    // Stops the wiring and removes the links.
    ~plug();
    plug(const plug&) = delete;
    plug& operator=(const plug&) = delete;

    // Runs the wiring on a thread of its own.
    void start();
    // Runs the wiring on the calling thread until stop().
    void run();
    // Ends run() or the thread of start(). Safe to call from a signal handler.
    void stop();

    std::string link(int port_number) const;
    // "ready: DIR/ttyV3..DIR/ttyV18"
    std::string ready_line() const;
    port_counts counts(int port_number) const;
    port_counts totals() const;
    // The port's termios control flags as its user set them (character size, parity, stop bits,
    // which the pacing follows); 0 for no such port.
    uint32_t line_cflag(int port_number) const;
    // Returns once the wiring has taken every flush notice the ports posted before the call. A port
    // reopened before its close's notice was taken may receive what its last run left on the line.
    void settle();
    // The port's device vanishes: its master end is closed, as when a cable adapter is pulled out.
    // Returns once done; the wiring must be running.
    void unplug(int port_number);

    struct impl;

  private:
    std::unique_ptr<impl> impl_;
};

enum args_result { args_ok, args_help, args_invalid };
// Reads the command line of zentrel-plug into *o (see its usage text). On args_invalid, *error says
// which value was wrong, or is empty when the usage as a whole was. Uses getopt: not reentrant.
args_result parse_args(int argc, char** argv, options* o, std::string* error);

// Parses a fault rate: a probability per byte in [0, 1], e.g. "1e-5" or "0.001". False if invalid.
bool parse_rate(const char* text, double* rate);

}  // namespace zplug
