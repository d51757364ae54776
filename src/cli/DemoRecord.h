#pragma once

#include <cstdint>

#include "record/RecordWriter.h"

namespace al::cli {

// A stereo 48 kHz, 24-bit demo: a gentle logarithmic sweep on the left and a
// two-tone chord on the right, at -6 dBFS, as PCHIP chains per chunk.
file::RecordWriter makeDemoRecord(double seconds);

}  // namespace al::cli
