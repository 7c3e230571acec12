/*
 * The version of the libzephyl headers a host is compiled with. zp_version() gives the version of
 * the library loaded at run time: a host compares the two to find a library older than its
 * headers. The major version changes only when the C interface (zephyl_c.h) changes
 * incompatibly; it is also the shared library's SOVERSION. C and C++.
 */
#ifndef ZEPHYL_ZP_VERSION_H
#define ZEPHYL_ZP_VERSION_H

#define ZEPHYL_VERSION_MAJOR 1
#define ZEPHYL_VERSION_MINOR 0
#define ZEPHYL_VERSION_PATCH 0
#define ZEPHYL_VERSION_STRING "1.0.0"

#endif /* ZEPHYL_ZP_VERSION_H */
