# Initial cache for the Windows build of libcurl (cmake -C): a static library, TLS through
# Schannel (Windows' own TLS and certificate store, nothing to ship), HTTP and HTTPS only, and
# no optional library at all. Used by scripts/build-windows-deps.
set(BUILD_SHARED_LIBS OFF CACHE BOOL "")
set(BUILD_CURL_EXE OFF CACHE BOOL "")
set(BUILD_TESTING OFF CACHE BOOL "")
set(CURL_DISABLE_TESTS ON CACHE BOOL "")
set(ENABLE_MANUAL OFF CACHE BOOL "")
set(PICKY_COMPILER OFF CACHE BOOL "")
set(CURL_ENABLE_EXPORT_TARGET ON CACHE BOOL "")

# TLS: Schannel, with SSPI (which Schannel needs); no other backend, no CA bundle of our own.
set(CURL_ENABLE_SSL ON CACHE BOOL "")
set(CURL_USE_SCHANNEL ON CACHE BOOL "")
set(CURL_WINDOWS_SSPI ON CACHE BOOL "")
set(CURL_USE_OPENSSL OFF CACHE BOOL "")
set(CURL_USE_MBEDTLS OFF CACHE BOOL "")
set(CURL_USE_BEARSSL OFF CACHE BOOL "")
set(CURL_USE_NSS OFF CACHE BOOL "")
set(CURL_USE_WOLFSSL OFF CACHE BOOL "")
set(CURL_CA_BUNDLE none CACHE STRING "")
set(CURL_CA_PATH none CACHE STRING "")

# Protocols: HTTP and HTTPS (HTTP_ONLY turns every other one off); the listed ones are off too,
# so that the configuration says so even where HTTP_ONLY is not read.
set(HTTP_ONLY ON CACHE BOOL "")
foreach(protocol DICT FILE FTP GOPHER IMAP LDAP LDAPS MQTT POP3 RTSP SMB SMTP TELNET TFTP)
  set(CURL_DISABLE_${protocol} ON CACHE BOOL "")
endforeach()
set(USE_WIN32_LDAP OFF CACHE BOOL "")
set(CURL_USE_OPENLDAP OFF CACHE BOOL "")
set(ENABLE_WEBSOCKETS OFF CACHE BOOL "")

# No optional libraries: compression, IDN, public suffixes, HTTP/2 and 3, SSH, GSSAPI, c-ares.
set(CURL_ZLIB OFF CACHE STRING "")
set(CURL_BROTLI OFF CACHE BOOL "")
set(CURL_ZSTD OFF CACHE BOOL "")
set(USE_LIBIDN2 OFF CACHE BOOL "")
set(USE_WIN32_IDN OFF CACHE BOOL "")
set(CURL_USE_LIBPSL OFF CACHE BOOL "")
set(USE_NGHTTP2 OFF CACHE BOOL "")
set(USE_NGTCP2 OFF CACHE BOOL "")
set(USE_QUICHE OFF CACHE BOOL "")
set(USE_MSH3 OFF CACHE BOOL "")
set(CURL_USE_LIBSSH2 OFF CACHE BOOL "")
set(CURL_USE_LIBSSH OFF CACHE BOOL "")
set(CURL_USE_GSSAPI OFF CACHE BOOL "")
set(ENABLE_ARES OFF CACHE BOOL "")

# Name resolution on a thread of its own, so that a slow DNS answer never blocks a transfer.
set(ENABLE_THREADED_RESOLVER ON CACHE BOOL "")
set(ENABLE_IPV6 ON CACHE BOOL "")
# No AF_UNIX transport: a download library talks to network hosts.
set(ENABLE_UNIX_SOCKETS OFF CACHE BOOL "")
