// The thread's last error: a small system error number that an operation leaves behind for
// its caller, next to a plain success/failure result (5 access denied, 7 invalid block, ...).
// Each thread has its own value.
#pragma once

#include <cstdint>

namespace qxfw::platform {

inline thread_local uint32_t tls_last_error = 0;

inline void SetLastError(uint32_t code) {
  tls_last_error = code;
}
inline uint32_t GetLastError() {
  return tls_last_error;
}

}  // namespace qxfw::platform
