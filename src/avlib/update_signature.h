// Ed25519 signatures of the update channel (docs/formats/update_exchange.md): what is signed
// for a list and for a file, key text, verification against a set of trusted keys, and the
// signing half the reference server uses. OpenSSL's EVP interface; thread-safe (no state).
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qxfw::avlib {

using UpdateKey = std::array<uint8_t, 32>;  // raw Ed25519 public key
inline constexpr size_t kUpdateSignatureBytes = 64;
inline constexpr const char* kSignatureSuffix = ".sig";

// 64 hexadecimal digits, either case. False for anything else.
bool ParseUpdateKey(std::string_view hex, UpdateKey* key);
std::string UpdateKeyText(const UpdateKey& key);
// Keys separated by "," or blanks; false when any of them is malformed.
bool ParseUpdateKeys(std::string_view text, std::vector<UpdateKey>* keys);

// The statement signed for a list: it names the version word the list belongs to.
std::string ListStatement(std::string_view word, std::string_view list);
// The statement signed for a file: version word, listed name, size and SHA-256 of its bytes.
std::string FileStatement(std::string_view word, std::string_view name, uint64_t size,
                          const std::array<uint8_t, 32>& sha256);
// SHA-256 and size of a file's bytes; false when it cannot be read.
bool HashFile(const std::string& path, std::array<uint8_t, 32>* sha256, uint64_t* size);

// True when signature is a valid Ed25519 signature of message under one of keys.
bool VerifyUpdateSignature(const std::vector<UpdateKey>& keys, std::string_view message,
                           std::string_view signature);

// A private key, for the server and for tests.
class UpdateSigner {
 public:
  ~UpdateSigner();
  UpdateSigner(UpdateSigner&&) noexcept;
  UpdateSigner& operator=(UpdateSigner&&) noexcept;

  static std::optional<UpdateSigner> Generate();
  // PEM (PKCS #8) text, as written by SavePem.
  static std::optional<UpdateSigner> FromPem(std::string_view pem);
  std::string Pem() const;

  UpdateKey PublicKey() const;
  std::string Sign(std::string_view message) const;  // 64 bytes, empty on failure

 private:
  struct Key;
  explicit UpdateSigner(std::unique_ptr<Key> key);
  std::unique_ptr<Key> key_;
};

}  // namespace qxfw::avlib
