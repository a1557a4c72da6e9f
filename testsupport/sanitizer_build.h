#pragma once

// Whether the test program runs under a sanitizer. Accuracy oracles that take a minute under
// AddressSanitizer check numbers, not memory: the sanitizer build runs a few of them and the
// plain build all of them. Both sanitizers bring allocators of their own.

namespace vmtest {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizerBuild = true;
#else
inline constexpr bool kAddressSanitizerBuild = false;
#endif
#else
inline constexpr bool kAddressSanitizerBuild = false;
#endif

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizerBuild = true;
#else
inline constexpr bool kThreadSanitizerBuild = false;
#endif
#else
inline constexpr bool kThreadSanitizerBuild = false;
#endif

}  // namespace vmtest

// Skips an accuracy oracle in the AddressSanitizer build.
#define VMTEST_PLAIN_BUILD_ONLY()                                                     \
  do {                                                                                \
    if (vmtest::kAddressSanitizerBuild)                                               \
      GTEST_SKIP() << "accuracy oracle: run in the plain build, too slow under ASan"; \
  } while (false)
