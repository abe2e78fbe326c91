// The time a USB 1.1 full-speed cable takes, for the host end of the
// simulated driver: a control request (status reads included) ends at the
// next 1 ms frame, and bulk data moves at 19 packets of 64 bytes per frame
// (1.216 MB/s). With the zero model every call returns at once, as tests want.
#pragma once

#include <cstdint>

namespace sim {

enum class Timing { Zero, Usb11 };

// Process-wide; Zero until set.
void SetTiming(Timing timing);
Timing CurrentTiming();

// The frame clock: whole milliseconds since the clock's first use.
uint64_t CurrentFrame();
// Frames a bulk transfer of `bytes` occupies; an empty transfer still sends
// one (zero-length) packet.
uint64_t BulkFrames(uint64_t bytes);

// Called by the driver at the end of a host call; each returns at once with
// the zero model.
void AwaitControlRequest();
void AwaitBulk(uint64_t bytes);

}  // namespace sim
