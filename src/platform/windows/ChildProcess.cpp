#include "platform/ChildProcess.h"

#include <windows.h>

#include <stdexcept>

namespace al::platform {

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// One argument quoted by the rules the C runtime parses back.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    std::size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        line.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        line += c;
    }
    line.append(2 * slashes, L'\\');
    line += L'"';
}

HANDLE openOutput(const std::filesystem::path& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

struct ChildProcess::State {
    PROCESS_INFORMATION info{};
    std::optional<int> status;
};

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::filesystem::path& outFile,
                           const std::filesystem::path& errFile)
    : state_(std::make_unique<State>()) {
    std::wstring line;
    appendQuoted(line, program.wstring());
    for (const auto& arg : args) {
        line += L' ';
        appendQuoted(line, widen(arg));
    }
    HANDLE out = openOutput(outFile);
    HANDLE err = openOutput(errFile);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    const BOOL ok =
        CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &state_->info);
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE)
        CloseHandle(err);
    if (!ok) {
        throw std::runtime_error("Cannot start " + program.string());
    }
    CloseHandle(state_->info.hThread);
}

ChildProcess::~ChildProcess() {
    if (!state_->status) {
        kill();
        wait(10000);
    }
    CloseHandle(state_->info.hProcess);
}

bool ChildProcess::interrupt() noexcept {
    if (state_->status) {
        return false;
    }
    // A console break reaches the child only when it shares a console with
    // us; if it has not ended after a grace period, it is ended at once and
    // the request counts as not delivered.
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, state_->info.dwProcessId) != 0 &&
        WaitForSingleObject(state_->info.hProcess, 2000) == WAIT_OBJECT_0) {
        return true;
    }
    if (WaitForSingleObject(state_->info.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(state_->info.hProcess, 137);
    }
    return false;
}

void ChildProcess::kill() noexcept {
    if (!state_->status) {
        TerminateProcess(state_->info.hProcess, 137);
    }
}

std::optional<int> ChildProcess::wait(unsigned timeoutMs) noexcept {
    if (!state_->status && WaitForSingleObject(state_->info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(state_->info.hProcess, &code);
        state_->status = static_cast<int>(code);
    }
    return state_->status;
}

}  // namespace al::platform
