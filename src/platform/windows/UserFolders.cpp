#include "platform/UserFolders.h"

#include <windows.h>

#include <string>

namespace al::platform {

std::filesystem::path localStateRoot() {
    std::wstring buffer(32768, L'\0');
    const DWORD length =
        ::GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return {};
    }
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

}  // namespace al::platform
