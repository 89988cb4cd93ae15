// The Rijndael lookup tables, computed at compile time from the field arithmetic so no table
// has to be typed in and trusted.
#include "store/rijndael_kernels.h"

namespace qxfw::store::rijndael {
namespace {

constexpr std::uint8_t XTime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t Mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return r;
}

// a^254 is the multiplicative inverse (and 0 stays 0).
constexpr std::uint8_t Inverse(std::uint8_t a) {
  std::uint8_t result = 1;
  std::uint8_t power = a;
  for (int e = 254; e != 0; e >>= 1) {
    if (e & 1) result = Mul(result, power);
    power = Mul(power, power);
  }
  return a == 0 ? 0 : result;
}

constexpr std::uint8_t Rotl8(std::uint8_t v, int n) {
  return static_cast<std::uint8_t>((v << n) | (v >> (8 - n)));
}

constexpr std::uint32_t Ror32(std::uint32_t v, int n) {
  return n == 0 ? v : (v >> n) | (v << (32 - n));
}

constexpr std::uint32_t Column(std::uint8_t r0, std::uint8_t r1, std::uint8_t r2, std::uint8_t r3) {
  return (std::uint32_t{r0} << 24) | (std::uint32_t{r1} << 16) | (std::uint32_t{r2} << 8) | r3;
}

constexpr Tables Build() {
  Tables t{};
  for (int x = 0; x < 256; ++x) {
    std::uint8_t b = Inverse(static_cast<std::uint8_t>(x));
    std::uint8_t s = b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63;
    t.sbox[x] = s;
    t.inv_sbox[s] = static_cast<std::uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    std::uint8_t s = t.sbox[x];
    std::uint8_t is = t.inv_sbox[x];
    // Column x of the MixColumns matrix (2 1 1 3) and of its inverse (14 9 13 11).
    std::uint32_t e = Column(Mul(s, 2), s, s, Mul(s, 3));
    std::uint32_t d = Column(Mul(is, 14), Mul(is, 9), Mul(is, 13), Mul(is, 11));
    for (int k = 0; k < 4; ++k) {
      t.te[k][x] = Ror32(e, 8 * k);
      t.td[k][x] = Ror32(d, 8 * k);
    }
  }
  return t;
}

}  // namespace

constinit const Tables kTables = Build();

}  // namespace qxfw::store::rijndael
