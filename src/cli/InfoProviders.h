#pragma once
// `auralith info` per file format. Each provider opens a file and prints its
// "key: value" lines; failures throw with the reader's exact message.

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace al::cli {

struct InfoProvider {
    std::vector<std::string> extensions;  // lower case, with the dot: ".aur"
    std::function<void(const std::filesystem::path&, std::ostream&)> print;
};

// Every format `info` knows, looked up by lower-cased extension.
const std::vector<InfoProvider>& infoProviders();

void printRecordInfo(const std::filesystem::path& path, std::ostream& out);
void printDsfInfo(const std::filesystem::path& path, std::ostream& out);
void printM4aInfo(const std::filesystem::path& path, std::ostream& out);
void printWaveInfo(const std::filesystem::path& path, std::ostream& out);
void printSndFileInfo(const std::filesystem::path& path, std::ostream& out);

// Lower-cases ASCII letters only.
std::string asciiLower(std::string text);

}  // namespace al::cli
