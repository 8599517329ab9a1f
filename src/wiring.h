// How the ports of a run are wired: found before the timed run by letting every port send an
// identification of its own, and judged against what the operator expects.
//
// The identification uses bytes 96..126 only: outside the pattern's 32..95, 7-bit, printable, and
// never Xon or Xoff, so flow control and 7-bit line formats carry it unchanged. Each identification is
// a mark (96), a per-run nonce, the channel's index and a check symbol; a port sends it a few times.
#pragma once

#include <cstdint>
#include <string>

namespace zentrel {

// wire_from of a channel: the index of the channel whose identification its port received, or one of
// these.
constexpr int32_t wire_none = -1;      // nothing identifiable arrived
constexpr int32_t wire_foreign = -2;   // another run's or program's identification, or bytes that do not decode
constexpr int32_t wire_several = -3;   // identifications from more than one channel
constexpr int32_t wire_untested = -4;  // the port could not take part (fewer than 7 data bits, refused I/O)

// Settings of wiring_expect (model/chnl.h).
constexpr int32_t wiring_any = 0;       // loopback plugs and null-modem pairs are both fine
constexpr int32_t wiring_loopback = 1;  // every port must receive its own data
constexpr int32_t wiring_pairs = 2;     // every port must be in a null-modem pair

// Sends the identifications on channels 0 .. chnl_count - 1 (opened and configured, no worker
// running yet), listens for a bounded time and sets every channel's wire_from. Leaves both queues of
// every port empty, so that nothing of it reaches the pattern check or the counters. Takes about the
// identifications' time on the line when every port hears its source; at most about 1.5 s of real
// time, whatever the clock's scale, when some port hears nothing or a driver does not answer.
void wiring_identify();

// Whether channel i's wiring is acceptable, with a short reason ("receives from COM4", "receives from
// two sources", "receives from another program", "COM4 does not receive from it", "expected a
// loopback", "expected a null-modem pair", "receives nothing", "not tested"). from[] holds wire_from
// of the count channels, nbrs[] their port numbers (for the labels). A port receiving from two
// sources, from another program, from nothing, or from a port that does not receive from it fails
// whatever is expected; an untested port passes only when nothing in particular is expected.
// The reason is always terminated, cut to size.
bool wiring_judge(const int32_t* from, const int32_t* nbrs, int count, int i, int32_t expect, char* reason,
                  int size);

// The same for channel i of the run just made (chnls[], chnl_count, wiring_expect).
bool chnl_wiring_ok(int i, char* reason, int size);

// The channel whose data channel i receives and must match: the one its identification came from
// (itself on a loopback, its partner in a null-modem pair), or itself when none of the run's was found.
int chnl_source(int i);

// The map as a JSON object: each port's label and the label of the port whose data it receives, null
// for none and for whatever is not one of the run's ports: {"COM3":"COM4","COM4":"COM3"}.
std::string wiring_json(const int32_t* from, const int32_t* nbrs, int count);
// The same for the run just made.
std::string wiring_json();

}  // namespace zentrel
