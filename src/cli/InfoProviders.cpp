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
        {{".dsf"}, printDsfInfo},
    };
    return providers;
}

}  // namespace al::cli
