#pragma once
// Pieces of the terminal display shared by the play commands: clock text and
// peak meters drawn as characters.

#include <string>

namespace al::cli {

// m:ss.s (negative times read as zero).
std::string clockText(double seconds);

// A peak meter on a -48..0 dBFS scale; "!" at the end while clipping.
std::string meterText(float peak, bool clip);

}  // namespace al::cli
