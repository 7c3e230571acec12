// Whole files read back for checks, by UTF-8 path on every platform, and the MD5 of bytes as the
// library writes it (32 lowercase hex digits).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zephyl::test {

// The file's bytes; empty when it cannot be opened.
std::vector<uint8_t> readBytes(const std::string& path);
// The file's bytes as a string; empty when it cannot be opened.
std::string readText(const std::string& path);
// Empty when the digest cannot be computed, so that no comparison with a real digest passes.
std::string md5HexOf(const std::vector<uint8_t>& bytes);
// SHA-256 of bytes as 64 lowercase hex digits.
std::string sha256HexOf(const std::vector<uint8_t>& bytes);

}  // namespace zephyl::test
