#pragma once
#include <cstdint>

namespace salvex {

// Device reads that failed (not answered with zeros), since start. A reader that keeps going past
// a failure, as a folder listing does, compares it to tell an unreadable structure from an empty one.
uint64_t FailedDeviceReads();
// Counts a read a volume refused without asking the device: its sectors lie past the end of the
// volume as cut to the device, so they are as unreadable as a failed read.
void CountRefusedRead();

}  // namespace salvex
