// Rijndael kernels behind CRijndael: the lookup tables, the portable table-driven block loops
// and the AES-instruction block loops. Internal to the cipher library.
//
// Conventions: a column of the state is a 32-bit word with row 0 in the most significant byte,
// so a block's bytes 4j..4j+3 are column j. Round keys follow the same layout; the decryption
// schedule is the one of the equivalent inverse cipher (InvMixColumns applied to the inner round
// keys, rounds in reverse order). Everything here is stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxfw::store::rijndael {

struct Tables {
  std::uint8_t sbox[256];
  std::uint8_t inv_sbox[256];
  std::uint32_t te[4][256];  // SubBytes + MixColumns, one table per row position
  std::uint32_t td[4][256];  // InvSubBytes + InvMixColumns
};
extern const Tables kTables;

// nb: words per block (4, 6 or 8); rk: (rounds + 1) * nb words; in and out may alias exactly.
void PortableEncrypt(const std::uint32_t* rk, int rounds, int nb, const std::uint8_t* in,
                     std::uint8_t* out, size_t blocks);
void PortableDecrypt(const std::uint32_t* rk, int rounds, int nb, const std::uint8_t* in,
                     std::uint8_t* out, size_t blocks);

// True when the processor has the AES instructions (and SSE4.1, which that code is built with).
bool HardwareAvailable();

// REQUIRES: HardwareAvailable(). 16-byte blocks; rk: (rounds + 1) * 16 bytes, rounds 10, 12 or 14.
void HardwareEncrypt(const std::uint8_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out,
                     size_t blocks);
// rk is the decryption schedule produced by HardwareDecryptSchedule.
void HardwareDecrypt(const std::uint8_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out,
                     size_t blocks);
// Derives the AESDEC schedule from the encryption schedule (both (rounds + 1) * 16 bytes).
void HardwareDecryptSchedule(const std::uint8_t* enc, int rounds, std::uint8_t* dec);

}  // namespace qxfw::store::rijndael
