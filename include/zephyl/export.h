// Export macro of libzephyl: every class and function a host may call carries ZEPHYL_EXPORT.
// The library is built with hidden visibility, so anything without it stays internal.
#pragma once

#if defined(_WIN32)
#if defined(ZEPHYL_BUILDING)
#define ZEPHYL_EXPORT __declspec(dllexport)
#else
#define ZEPHYL_EXPORT __declspec(dllimport)
#endif
#else
#define ZEPHYL_EXPORT __attribute__((visibility("default")))
#endif
