#pragma once

#include <cstddef>

// Memory for secrets: kept out of swap when the limit allows, never in a core dump, and wiped
// when it is given back.
namespace LockedMemory {

// Routes every allocation OpenSSL makes (key schedules, derived keys, scrypt's work area) here.
// Must run before OpenSSL allocates anything; false when it was too late.
bool serveOpenSsl();

[[nodiscard]] void *allocate(size_t size);
void release(void *memory);

} // namespace LockedMemory
