#include "platform/UserFolders.h"

#include <cstdlib>

namespace al::platform {

std::filesystem::path localStateRoot() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
        return std::filesystem::path(state);
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return std::filesystem::path(home) / ".local" / "state";
    }
    return {};
}

}  // namespace al::platform
