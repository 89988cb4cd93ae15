// Test helper: builds and reads rule-file slots with OpenSSL's AES, independently of the
// store's own cipher and slot code, so the tests check the file format and not the code
// against itself.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qxfw::store::reference {

constexpr size_t kSlot = 816;
inline const unsigned char kKey[16] = {'P', 'a', 'r', 'd', 'i', 'x', 0,   0,
                                       'T', 'a', 'b', 'l', 'e', 'K', 'e', 'y'};

inline std::string Crypt(const std::string& in, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::string out(in.size(), '\0');
  int len = 0;
  EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                   reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

// A plaintext slot under construction; fields are written little-endian at byte offsets.
struct Slot {
  std::string bytes = std::string(kSlot, '\0');
  Slot& U16(size_t offset, uint16_t v) {
    bytes[offset] = static_cast<char>(v & 0xFF);
    bytes[offset + 1] = static_cast<char>(v >> 8);
    return *this;
  }
  Slot& U32(size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  Slot& Text(size_t offset, const std::string& text) {
    std::memcpy(&bytes[offset], text.data(), text.size());
    return *this;
  }
  uint32_t GetU32(size_t offset) const {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
    return v;
  }
  uint16_t GetU16(size_t offset) const {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) |
                                 (static_cast<uint8_t>(bytes[offset + 1]) << 8));
  }
};

// The slot header of the format: number, kind, state, operation; time left zero.
inline Slot MakeSlot(uint32_t number, uint32_t kind, uint32_t state, uint32_t operation) {
  Slot s;
  s.U32(0, number).U32(4, kind).U32(8, state).U32(12, operation);
  return s;
}

inline Slot MakeHeader(uint32_t counter, uint32_t level) {
  Slot s = MakeSlot(0, 1, 1, 0);
  s.U32(32, 1).U32(36, 816).U32(40, counter).Text(44, "Qoltex Firewall for Windows Data File");
  s.U32(108, level);
  return s;
}

// Program payload at slot offset 32: action, reserved, policySlot, path.
inline Slot& Program(Slot& s, int16_t action, int32_t policySlot, const std::string& path) {
  return s.U16(32, static_cast<uint16_t>(action))
      .U32(36, static_cast<uint32_t>(policySlot))
      .Text(40, path);
}

inline std::string Encrypt(const std::vector<Slot>& slots) {
  std::string plain;
  for (const Slot& s : slots) plain += s.bytes;
  return Crypt(plain, true);
}

inline std::vector<Slot> Decrypt(const std::string& file) {
  std::vector<Slot> slots;
  for (size_t at = 0; at + kSlot <= file.size(); at += kSlot) {
    Slot s;
    s.bytes = Crypt(file.substr(at, kSlot), false);
    slots.push_back(s);
  }
  return slots;
}

}  // namespace qxfw::store::reference
