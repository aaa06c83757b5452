// Whether the code under test runs under a sanitizer that reserves huge address space.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARNWELL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARNWELL_TEST_SANITIZED 1
#endif
#endif

namespace Tarnwell::test {

// Address-space limits (ulimit -v) cannot be tested under such a sanitizer.
#ifdef TARNWELL_TEST_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace Tarnwell::test
