// libsodium set up before its first use (its random source and fastest implementations).
#ifndef VORN_ENGINE_SODIUM_READY_H
#define VORN_ENGINE_SODIUM_READY_H

#include <sodium.h>

#include <stdexcept>

namespace vornengine {

// Cheap after the first call, and safe from several threads at once.
inline void requireSodium() {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
}

} // namespace vornengine

#endif
