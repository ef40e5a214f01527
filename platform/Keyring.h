#pragma once

// The password a Chromium-family browser keeps its cookie key under in the desktop's keyring,
// read over the session bus: from the Secret Service (GNOME Keyring and the like) or from an
// open KWallet. Only what may be read as it is: nothing is ever unlocked, opened, prompted
// for, started or written.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

struct SafeStorage {
    std::string application;  // the Secret Service item's "application": "chromium", "chrome"
    std::string name;  // "Chromium", "Chrome": KWallet's "<name> Keys" / "<name> Safe Storage"
};

struct KeyringPlace {
    std::string busAddress;  // the session bus; empty: there is none
    std::string kwalletrc;   // KWallet's settings file
    bool kdeFirst = false;   // a KDE desktop: the browser keeps its password in KWallet
};

// The session's keyring as the environment names it.
KeyringPlace DesktopKeyringPlace();

// The password, or nullopt when there is no keyring, it is locked or closed, asking it would
// need the user, or it holds none for this browser. Each call to the keyring may take up to
// 3 s: never call this on the window's thread.
std::optional<std::string> ReadSafeStoragePassword(const KeyringPlace& place,
                                                   const SafeStorage& storage);

// ReadSafeStoragePassword on a thread of its own, over a bus connection of its own.
class KeyringRead {
public:
    static std::shared_ptr<KeyringRead> Start(const KeyringPlace& place,
                                              const SafeStorage& storage);
    bool Done() const;
    // The answer once Done; nullopt before.
    std::optional<std::string> Password() const;

private:
    mutable std::mutex mutex_;
    bool done_ = false;
    std::optional<std::string> password_;
};

}  // namespace platform
