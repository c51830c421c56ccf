// The C boundary: every export makes its call through CallGuarded, so that no C++ exception (an
// allocation failure in a platform, say) crosses extern "C" and ends the host process.
#pragma once

namespace ksv {

// The result of `call`, or `on_exception` when it throws. Whatever the call acquired is released
// by its owners as the exception leaves it.
template <typename Call>
int CallGuarded(int on_exception, Call&& call) noexcept {
  try {
    return call();
  } catch (...) {
    return on_exception;
  }
}

}  // namespace ksv
