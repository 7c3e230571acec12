#include "diagnostics/digest.h"

#include <cctype>
#include <utility>

#include "diagnostics/sha256_calls.h"
#include "diagnostics/utilities.h"

namespace zephyl {

// MD5 goes through Md5Stream (the file keys' own calls); SHA-256 through the platform's calls.
struct DigestStream::Engine {
  explicit Engine(DigestAlgorithm algorithm) {
    if (algorithm == DigestAlgorithm::Md5) {
      md5 = std::make_unique<Md5Stream>();
    } else {
      failed = !platformSha256Begin(&sha256);
    }
  }
  ~Engine() { platformSha256End(sha256); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  std::unique_ptr<Md5Stream> md5;
  Sha256State* sha256 = nullptr;
  bool failed = false;
  bool finished = false;
};

const char* digestName(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::Md5 ? "md5" : "sha256";
}

size_t digestLength(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::Md5 ? kMd5DigestLength : kSha256DigestLength;
}

bool parseChecksum(const std::string& text, ExpectedDigest* expected) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string name = text.substr(0, colon);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ExpectedDigest parsed;
  if (name == "md5") {
    parsed.algorithm = DigestAlgorithm::Md5;
  } else if (name == "sha256" || name == "sha-256") {
    parsed.algorithm = DigestAlgorithm::Sha256;
  } else {
    return false;
  }
  parsed.hex = text.substr(colon + 1);
  if (parsed.hex.size() != 2 * digestLength(parsed.algorithm)) return false;
  for (char& c : parsed.hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  *expected = std::move(parsed);
  return true;
}

std::string readChecksum(const std::string& text, std::optional<ExpectedDigest>* expected) {
  if (text.empty()) {
    expected->reset();
    return std::string();
  }
  ExpectedDigest parsed;
  if (!parseChecksum(text, &parsed)) {
    return "illegal checksum: " + text.substr(0, 80) +
           " (expected sha256:<64 hex digits> or md5:<32 hex digits>)";
  }
  *expected = std::move(parsed);
  return std::string();
}

std::string hexOf(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(2 * size, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return text;
}

DigestStream::DigestStream(DigestAlgorithm algorithm)
    : algorithm_(algorithm), engine_(std::make_unique<Engine>(algorithm)) {}

DigestStream::~DigestStream() = default;

bool DigestStream::update(const void* data, size_t size) {
  if (engine_->failed || engine_->finished) return false;
  if (size == 0) return true;
  const bool done = engine_->md5 ? engine_->md5->update(data, size)
                                 : platformSha256Update(engine_->sha256, data, size);
  if (!done) engine_->failed = true;
  return done;
}

std::string DigestStream::finishHex() {
  if (engine_->failed || engine_->finished) return {};
  engine_->finished = true;
  unsigned char digest[kSha256DigestLength];
  const bool done = engine_->md5 ? engine_->md5->finish(digest)
                                 : platformSha256Finish(engine_->sha256, digest);
  if (!done) {
    engine_->failed = true;
    return {};
  }
  return hexOf(digest, digestLength(algorithm_));
}

std::string digestHexOf(DigestAlgorithm algorithm, const void* data, size_t size) {
  DigestStream stream(algorithm);
  stream.update(data, size);
  return stream.finishHex();
}

}  // namespace zephyl
