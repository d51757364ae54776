#pragma once
// Process-level services for command-line front ends.

#include <filesystem>
#include <string>
#include <vector>

namespace al::platform {

// The program's arguments (without the program name) as UTF-8, whatever the
// platform's native encoding of the command line. Throws std::runtime_error
// if the platform cannot provide them.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Makes the console print UTF-8 text as such. Never fails.
void prepareConsole() noexcept;

// The folder holding the running executable; empty if it cannot be found.
std::filesystem::path executableDirectory();

// A path from UTF-8 text, converted to the platform's native form.
std::filesystem::path pathFromUtf8(const std::string& text);

// A path as UTF-8 text for display.
std::string pathToUtf8(const std::filesystem::path& path);

}  // namespace al::platform
