#pragma once

#include <string>

// The password in the desktop's keyring (the Secret Service or KWallet, through QtKeychain),
// for the desktop program only: the engine and postbell-check get the password as before.
// Each call waits for the keyring at most a few seconds, running a local event loop.

class QObject;
#include <functional>

// Asks, without waiting, whether a keyring is reachable (false: no D-Bus session, a headless
// machine); answer runs on the user interface thread once it is known, unless context is gone.
void AskKeyringAvailable(QObject* context, std::function<void(bool available)> answer);
// The stored password; false when there is no keyring or no password in it.
bool ReadKeyringPassword(std::string& password);
// False when no keyring took it.
bool WriteKeyringPassword(const std::string& password);
// At start-up: a password left in the store is still used (it moves into the keyring at the
// next OK of the settings dialog); an empty one is looked up in the keyring.
void LoadKeyringPassword(std::string& password);
