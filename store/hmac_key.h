// The host's HMAC key for the signed data files.
#pragma once

#include <string>

// A copy of the key, read or created on the first call and never reloaded.
// Empty when no usable key exists; nothing is then signed or checked.
std::string getHmacKey();
