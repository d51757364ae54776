#pragma once
// A child process started from a command line, for tests and tools that drive
// the `auralith` binary: its standard output and error go to files, and it can
// be asked to stop (an interruption it may handle) or be killed.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace al::platform {

class ChildProcess {
  public:
    // Starts `program` with `args`; standard output and error are written to
    // the given files. Throws std::runtime_error if it cannot be started.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::filesystem::path& outFile, const std::filesystem::path& errFile);
    // Kills and reaps a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // An interruption request the child can handle (SIGTERM; a console break
    // on Windows, where a child that has not ended 2 s later, having no
    // console to receive it, is ended at once). False if the request was not
    // delivered.
    bool interrupt() noexcept;
    // Ends the child at once; it cannot clean up.
    void kill() noexcept;
    // The exit status once it has ended within timeoutMs, else nothing.
    std::optional<int> wait(unsigned timeoutMs) noexcept;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace al::platform
