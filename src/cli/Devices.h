#pragma once
// `auralith devices`: the render endpoints and the exact formats they accept.

#include <iosfwd>
#include <string>
#include <vector>

namespace al::cli {

// `auralith devices [--channels N] [--device ID]`: lists the endpoints (the
// default first), and with --channels the exact formats probed on the chosen
// endpoint (--device, else the default, else the first), one label per line,
// the remembered one marked. --device virtual also lists the virtual output.
int runDevices(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace al::cli
