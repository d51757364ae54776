#pragma once
// auralith encode: any playable file into a record.

#include <iosfwd>
#include <string>
#include <vector>

namespace al::cli {

// `auralith encode FILE -o OUT.aur [--segment-frames N] [--force]`. Progress
// ("encoding N%" every 5 %) on `err` for files of 10 s or more; "wrote ..." on `out`; "error:
// <message>" and 1 on failure (nothing written), 2 for a bad command line.
int runEncode(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace al::cli
