#include "platform/Process.h"

#include <unistd.h>

#include <system_error>

namespace al::platform {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    // Linux passes the bytes as typed; terminals and file names are UTF-8.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    return args;
}

void prepareConsole() noexcept {}

std::filesystem::path executableDirectory() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    return self.parent_path();
}

std::filesystem::path pathFromUtf8(const std::string& text) { return std::filesystem::path(text); }

std::string pathToUtf8(const std::filesystem::path& path) { return path.string(); }

}  // namespace al::platform
