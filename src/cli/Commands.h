#pragma once
// The `auralith` command-line front end, as functions over streams so that
// tests can run them. Each returns the process exit status.

#include <iosfwd>
#include <string>
#include <vector>

namespace al::cli {

// Dispatches a whole command line (arguments without the program name).
int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `auralith info FILE`: key: value lines, or "error: <message>" and 1.
int runInfo(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `auralith demo-record FILE [--seconds S]`: writes the demo record.
int runDemoRecord(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The text of `auralith --help`.
std::string helpText();

}  // namespace al::cli
