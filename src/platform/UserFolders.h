#pragma once
// Where per-user state lives.

#include <filesystem>

namespace al::platform {

// The root folder for the user's local application state: the value of
// LOCALAPPDATA on Windows; on Linux $XDG_STATE_HOME, or ~/.local/state when it
// is unset. Empty when the platform has no such value. The folder may not
// exist yet; callers apply their own length rules to native().size().
std::filesystem::path localStateRoot();

}  // namespace al::platform
