#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace al::platform {

struct ChildProcess::State {
    pid_t pid = -1;
    std::optional<int> status;
};

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::filesystem::path& outFile,
                           const std::filesystem::path& errFile)
    : state_(std::make_unique<State>()) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int rc =
        posix_spawn(&state_->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("Cannot start " + program.string());
    }
}

ChildProcess::~ChildProcess() {
    if (!state_->status) {
        kill();
        wait(10000);
    }
}

bool ChildProcess::interrupt() noexcept {
    return !state_->status && ::kill(state_->pid, SIGTERM) == 0;
}

void ChildProcess::kill() noexcept {
    if (!state_->status) {
        ::kill(state_->pid, SIGKILL);
    }
}

std::optional<int> ChildProcess::wait(unsigned timeoutMs) noexcept {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!state_->status) {
        int raw = 0;
        const pid_t r = waitpid(state_->pid, &raw, WNOHANG);
        if (r == state_->pid) {
            state_->status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= until) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return state_->status;
}

}  // namespace al::platform
