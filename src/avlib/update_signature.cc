#include "avlib/update_signature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include "platform/file.h"

namespace qxfw::avlib {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex(const uint8_t* data, size_t size) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}

}  // namespace

bool ParseUpdateKey(std::string_view hex, UpdateKey* key) {
  if (hex.size() != 2 * key->size()) return false;
  for (size_t i = 0; i < key->size(); ++i) {
    int high = HexDigit(hex[2 * i]), low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*key)[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string UpdateKeyText(const UpdateKey& key) {
  return Hex(key.data(), key.size());
}

bool ParseUpdateKeys(std::string_view text, std::vector<UpdateKey>* keys) {
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ',' || text[at] == ' ' || text[at] == '\t') {
      ++at;
      continue;
    }
    size_t end = text.find_first_of(", \t", at);
    if (end == std::string_view::npos) end = text.size();
    UpdateKey key;
    if (!ParseUpdateKey(text.substr(at, end - at), &key)) return false;
    keys->push_back(key);
    at = end;
  }
  return true;
}

std::string ListStatement(std::string_view word, std::string_view list) {
  std::string out = "qxav update list 1\n";
  out.append(word);
  out += '\n';
  out.append(list);
  return out;
}

std::string FileStatement(std::string_view word, std::string_view name, uint64_t size,
                          const std::array<uint8_t, 32>& sha256) {
  std::string out = "qxav update file 1\n";
  out.append(word);
  out += '\n';
  out.append(name);
  out += '\n' + std::to_string(size) + '\n' + Hex(sha256.data(), sha256.size()) + '\n';
  return out;
}

bool HashFile(const std::string& path, std::array<uint8_t, 32>* sha256, uint64_t* size) {
  platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.Valid()) return false;
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
  uint64_t total = 0;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer, static_cast<size_t>(got)) != 1) return false;
    total += static_cast<uint64_t>(got);
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), sha256->data(), &length) != 1 || length != sha256->size())
    return false;
  *size = total;
  return true;
}

bool VerifyUpdateSignature(const std::vector<UpdateKey>& keys, std::string_view message,
                           std::string_view signature) {
  if (signature.size() != kUpdateSignatureBytes) return false;
  for (const UpdateKey& raw : keys) {
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()));
    MdCtx ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
      continue;
    if (EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                         message.size()) == 1)
      return true;
  }
  return false;
}

struct UpdateSigner::Key {
  Pkey pkey;
};

UpdateSigner::UpdateSigner(std::unique_ptr<Key> key) : key_(std::move(key)) {}
UpdateSigner::~UpdateSigner() = default;
UpdateSigner::UpdateSigner(UpdateSigner&&) noexcept = default;
UpdateSigner& UpdateSigner::operator=(UpdateSigner&&) noexcept = default;

std::optional<UpdateSigner> UpdateSigner::Generate() {
  EVP_PKEY* made = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (made == nullptr) return std::nullopt;
  auto key = std::make_unique<Key>();
  key->pkey.reset(made);
  return UpdateSigner(std::move(key));
}

std::optional<UpdateSigner> UpdateSigner::FromPem(std::string_view pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return std::nullopt;
  EVP_PKEY* read = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (read == nullptr) return std::nullopt;
  auto key = std::make_unique<Key>();
  key->pkey.reset(read);
  if (EVP_PKEY_get_id(read) != EVP_PKEY_ED25519) return std::nullopt;
  return UpdateSigner(std::move(key));
}

std::string UpdateSigner::Pem() const {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_->pkey.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1)
    return {};
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

UpdateKey UpdateSigner::PublicKey() const {
  UpdateKey raw{};
  size_t size = raw.size();
  EVP_PKEY_get_raw_public_key(key_->pkey.get(), raw.data(), &size);
  return raw;
}

std::string UpdateSigner::Sign(std::string_view message) const {
  MdCtx ctx(EVP_MD_CTX_new());
  std::string signature(kUpdateSignatureBytes, '\0');
  size_t size = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      size != kUpdateSignatureBytes)
    return {};
  return signature;
}

}  // namespace qxfw::avlib
