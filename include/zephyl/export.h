// Export macro of libzephyl: every class and function a host may call carries ZEPHYL_EXPORT.
// The library is built with hidden visibility, so anything without it stays internal.
#pragma once

// On Windows the DLL exports them and a host imports them; code linked with the library's objects
// statically (its tests) defines ZEPHYL_STATIC and does neither.
#if defined(_WIN32)
#if defined(ZEPHYL_BUILDING)
#define ZEPHYL_EXPORT __declspec(dllexport)
#elif defined(ZEPHYL_STATIC)
#define ZEPHYL_EXPORT
#else
#define ZEPHYL_EXPORT __declspec(dllimport)
#endif
#else
#define ZEPHYL_EXPORT __attribute__((visibility("default")))
#endif
