#include "store/rijndael.h"

#include <algorithm>
#include <cstring>

#include "store/rijndael_kernels.h"

namespace qxfw::store {
namespace {

using rijndael::kTables;

// Blocks handed to the block loops at once by chained decryption: as many as the AES
// instructions keep in flight.
constexpr size_t kGroup = 8;

constexpr std::uint8_t XTime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}

std::uint32_t SubWord(std::uint32_t w) {
  const auto* s = kTables.sbox;
  return (std::uint32_t{s[w >> 24]} << 24) | (std::uint32_t{s[(w >> 16) & 0xff]} << 16) |
         (std::uint32_t{s[(w >> 8) & 0xff]} << 8) | s[w & 0xff];
}

// InvMixColumns of one column: td[] undoes SubBytes as well, so feed it S-box outputs.
std::uint32_t InvMixColumn(std::uint32_t w) {
  const auto& td = kTables.td;
  const auto* s = kTables.sbox;
  return td[0][s[w >> 24]] ^ td[1][s[(w >> 16) & 0xff]] ^ td[2][s[(w >> 8) & 0xff]] ^
         td[3][s[w & 0xff]];
}

bool ValidLength(int n) {
  return n == 16 || n == 24 || n == 32;
}

void XorInto(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b, int n) {
  for (int i = 0; i < n; ++i) dst[i] = a[i] ^ b[i];
}

const std::uint8_t* Bytes(const char* p) {
  return reinterpret_cast<const std::uint8_t*>(p);
}
std::uint8_t* Bytes(char* p) {
  return reinterpret_cast<std::uint8_t*>(p);
}

}  // namespace

CRijndael::CRijndael() = default;

CRijndael::~CRijndael() {
  // The schedule is as secret as the key; do not leave it in freed memory.
  explicit_bzero(enc_words_, sizeof(enc_words_));
  explicit_bzero(dec_words_, sizeof(dec_words_));
  explicit_bzero(enc_bytes_, sizeof(enc_bytes_));
  explicit_bzero(dec_bytes_, sizeof(dec_bytes_));
}

void CRijndael::MakeKey(const char* key, const char* chain, int keylength, int blockSize) {
  if (key == nullptr) throw CRijndaelError("Empty key");
  if (!ValidLength(keylength)) throw CRijndaelError("Incorrect key length");
  if (!ValidLength(blockSize)) throw CRijndaelError("Incorrect block length");

  const int nk = keylength / 4;
  const int nb = blockSize / 4;
  const int rounds = std::max(nk, nb) + 6;
  const int total = nb * (rounds + 1);

  // Key expansion: the key's own words, then each word from the one Nk back and the previous
  // one, passed through RotWord/SubWord/Rcon at every Nk-th word (and SubWord half way for
  // 32-byte keys).
  std::uint32_t w[kMaxWords];
  for (int i = 0; i < nk; ++i) {
    const auto* p = Bytes(key) + 4 * i;
    w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
  }
  std::uint8_t rcon = 1;  // successive powers of x in GF(2^8)
  for (int i = nk; i < total; ++i) {
    std::uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ (std::uint32_t{rcon} << 24);
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      temp = SubWord(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }

  std::copy(w, w + total, enc_words_);
  // Equivalent inverse cipher: round keys in reverse order, InvMixColumns on the inner ones.
  for (int r = 0; r <= rounds; ++r) {
    for (int j = 0; j < nb; ++j) {
      std::uint32_t v = w[(rounds - r) * nb + j];
      dec_words_[r * nb + j] = (r == 0 || r == rounds) ? v : InvMixColumn(v);
    }
  }
  explicit_bzero(w, sizeof(w));

  if (nb == 4) {
    for (int i = 0; i < total; ++i) {
      std::uint8_t* p = enc_bytes_ + 4 * i;
      p[0] = static_cast<std::uint8_t>(enc_words_[i] >> 24);
      p[1] = static_cast<std::uint8_t>(enc_words_[i] >> 16);
      p[2] = static_cast<std::uint8_t>(enc_words_[i] >> 8);
      p[3] = static_cast<std::uint8_t>(enc_words_[i]);
    }
    if (rijndael::HardwareAvailable()) {
      rijndael::HardwareDecryptSchedule(enc_bytes_, rounds, dec_bytes_);
    }
  }

  key_length_ = keylength;
  block_size_ = blockSize;
  rounds_ = rounds;
  if (chain != nullptr) {
    std::memcpy(chain0_, chain, blockSize);
  } else {
    std::memset(chain0_, 0, sizeof(chain0_));
  }
  std::memcpy(chain_, chain0_, sizeof(chain_));
  key_init_ = true;
}

bool CRijndael::UsesHardware() const {
  return key_init_ && hardware_allowed_ && block_size_ == 16 && rijndael::HardwareAvailable();
}

void CRijndael::ResetChain() {
  std::memcpy(chain_, chain0_, sizeof(chain_));
}

void CRijndael::RequireKey() const {
  if (!key_init_) throw CRijndaelError("Object not Initialized");
}

void CRijndael::CheckLength(size_t n) const {
  if (n == 0 || n % static_cast<size_t>(block_size_) != 0) {
    throw CRijndaelError("Data not multiple of Block Size");
  }
}

void CRijndael::EncryptBlocks(const std::uint8_t* in, std::uint8_t* out, size_t blocks) const {
  if (UsesHardware()) {
    rijndael::HardwareEncrypt(enc_bytes_, rounds_, in, out, blocks);
  } else {
    rijndael::PortableEncrypt(enc_words_, rounds_, block_size_ / 4, in, out, blocks);
  }
}

void CRijndael::DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, size_t blocks) const {
  if (UsesHardware()) {
    rijndael::HardwareDecrypt(dec_bytes_, rounds_, in, out, blocks);
  } else {
    rijndael::PortableDecrypt(dec_words_, rounds_, block_size_ / 4, in, out, blocks);
  }
}

void CRijndael::EncryptBlock(const char* in, char* result) {
  RequireKey();
  EncryptBlocks(Bytes(in), Bytes(result), 1);
}

void CRijndael::DecryptBlock(const char* in, char* result) {
  RequireKey();
  DecryptBlocks(Bytes(in), Bytes(result), 1);
}

void CRijndael::Encrypt(const char* in, char* result, size_t n, int iMode) {
  RequireKey();
  CheckLength(n);
  const size_t blocks = n / block_size_;
  const std::uint8_t* src = Bytes(in);
  std::uint8_t* dst = Bytes(result);
  const int bs = block_size_;
  std::uint8_t tmp[kMaxBlock];
  switch (iMode) {
    case ECB:
      EncryptBlocks(src, dst, blocks);
      return;
    case CBC:
      // Each block is mixed with the previous ciphertext before encryption.
      for (size_t i = 0; i < blocks; ++i, src += bs, dst += bs) {
        XorInto(tmp, chain_, src, bs);
        EncryptBlocks(tmp, dst, 1);
        std::memcpy(chain_, dst, bs);
      }
      return;
    case CFB:
      // The previous ciphertext is encrypted into the key stream for the next block.
      for (size_t i = 0; i < blocks; ++i, src += bs, dst += bs) {
        EncryptBlocks(chain_, tmp, 1);
        XorInto(dst, tmp, src, bs);
        std::memcpy(chain_, dst, bs);
      }
      return;
  }
  throw CRijndaelError("Incorrect mode");
}

void CRijndael::Decrypt(const char* in, char* result, size_t n, int iMode) {
  RequireKey();
  CheckLength(n);
  const size_t blocks = n / block_size_;
  switch (iMode) {
    case ECB:
      DecryptBlocks(Bytes(in), Bytes(result), blocks);
      return;
    case CBC:
      DecryptCbc(Bytes(in), Bytes(result), blocks);
      return;
    case CFB:
      DecryptCfb(Bytes(in), Bytes(result), blocks);
      return;
  }
  throw CRijndaelError("Incorrect mode");
}

// Decryption in CBC and CFB needs only ciphertext, so blocks are done kGroup at a time; the
// group's ciphertext is copied first because `out` may be `in`.

void CRijndael::DecryptCbc(const std::uint8_t* in, std::uint8_t* out, size_t blocks) {
  const int bs = block_size_;
  std::uint8_t saved[kGroup * kMaxBlock];
  while (blocks > 0) {
    const size_t count = std::min(blocks, kGroup);
    std::memcpy(saved, in, count * bs);
    DecryptBlocks(saved, out, count);
    XorInto(out, out, chain_, bs);
    for (size_t i = 1; i < count; ++i)
      XorInto(out + i * bs, out + i * bs, saved + (i - 1) * bs, bs);
    std::memcpy(chain_, saved + (count - 1) * bs, bs);
    in += count * bs;
    out += count * bs;
    blocks -= count;
  }
}

void CRijndael::DecryptCfb(const std::uint8_t* in, std::uint8_t* out, size_t blocks) {
  const int bs = block_size_;
  std::uint8_t saved[kGroup * kMaxBlock];
  std::uint8_t stream[kGroup * kMaxBlock];
  while (blocks > 0) {
    const size_t count = std::min(blocks, kGroup);
    std::memcpy(saved, in, count * bs);
    // Key stream inputs: the chain, then every ciphertext block of the group but the last.
    std::memcpy(stream, chain_, bs);
    std::memcpy(stream + bs, saved, (count - 1) * bs);
    EncryptBlocks(stream, stream, count);
    XorInto(out, stream, saved, static_cast<int>(count * bs));
    std::memcpy(chain_, saved + (count - 1) * bs, bs);
    in += count * bs;
    out += count * bs;
    blocks -= count;
  }
}

}  // namespace qxfw::store
