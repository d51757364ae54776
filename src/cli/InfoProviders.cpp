#include "cli/InfoProviders.h"

namespace al::cli {

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

const std::vector<InfoProvider>& infoProviders() {
    static const std::vector<InfoProvider> providers = {
        {{".aur"}, printRecordInfo},
        {{".m4a"}, printM4aInfo},
        {{".wav", ".wave"}, printWaveInfo},
        {{".flac", ".mp3", ".aif", ".aiff", ".aifc"}, printSndFileInfo},
        {{".dsf"}, printDsfInfo},
    };
    return providers;
}

}  // namespace al::cli
