// Portable Rijndael: the classic table-driven rounds for 4-, 6- and 8-column blocks.
#include "store/rijndael_kernels.h"

namespace qxfw::store::rijndael {
namespace {

inline std::uint32_t Load32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

inline void Store32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// ShiftRows moves row r left by Shift(r) columns; 8-column blocks shift rows 2 and 3 further
// so that every row still spreads over different columns.
template <int NB>
constexpr int Shift(int row) {
  constexpr int kShort[4] = {0, 1, 2, 3};
  constexpr int kLong[4] = {0, 1, 3, 4};
  return NB == 8 ? kLong[row] : kShort[row];
}

// One block through all rounds. The inverse cipher has the same shape: the inverse tables, and
// InvShiftRows moving the rows right, i.e. left by NB - Shift(r).
template <int NB, bool kInverse>
void CryptOne(const std::uint32_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out) {
  constexpr int c1 = kInverse ? NB - Shift<NB>(1) : Shift<NB>(1);
  constexpr int c2 = kInverse ? NB - Shift<NB>(2) : Shift<NB>(2);
  constexpr int c3 = kInverse ? NB - Shift<NB>(3) : Shift<NB>(3);
  const auto& tt = kInverse ? kTables.td : kTables.te;
  std::uint32_t a[NB], t[NB];
  for (int j = 0; j < NB; ++j) a[j] = Load32(in + 4 * j) ^ rk[j];
  rk += NB;
  for (int r = 1; r < rounds; ++r, rk += NB) {
#pragma GCC unroll 8
    for (int j = 0; j < NB; ++j) {
      t[j] = tt[0][a[j] >> 24] ^ tt[1][(a[(j + c1) % NB] >> 16) & 0xff] ^
             tt[2][(a[(j + c2) % NB] >> 8) & 0xff] ^ tt[3][a[(j + c3) % NB] & 0xff] ^ rk[j];
    }
#pragma GCC unroll 8
    for (int j = 0; j < NB; ++j) a[j] = t[j];
  }
  const auto* s = kInverse ? kTables.inv_sbox : kTables.sbox;
  for (int j = 0; j < NB; ++j) {
    std::uint32_t v = (std::uint32_t{s[a[j] >> 24]} << 24) |
                      (std::uint32_t{s[(a[(j + c1) % NB] >> 16) & 0xff]} << 16) |
                      (std::uint32_t{s[(a[(j + c2) % NB] >> 8) & 0xff]} << 8) |
                      s[a[(j + c3) % NB] & 0xff];
    Store32(out + 4 * j, v ^ rk[j]);
  }
}

template <int NB, bool kEncrypt>
void Run(const std::uint32_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out,
         size_t blocks) {
  for (size_t i = 0; i < blocks; ++i, in += 4 * NB, out += 4 * NB) {
    CryptOne<NB, !kEncrypt>(rk, rounds, in, out);
  }
}

template <bool kEncrypt>
void Dispatch(const std::uint32_t* rk, int rounds, int nb, const std::uint8_t* in,
              std::uint8_t* out, size_t blocks) {
  switch (nb) {
    case 4:
      return Run<4, kEncrypt>(rk, rounds, in, out, blocks);
    case 6:
      return Run<6, kEncrypt>(rk, rounds, in, out, blocks);
    case 8:
      return Run<8, kEncrypt>(rk, rounds, in, out, blocks);
  }
}

}  // namespace

void PortableEncrypt(const std::uint32_t* rk, int rounds, int nb, const std::uint8_t* in,
                     std::uint8_t* out, size_t blocks) {
  Dispatch<true>(rk, rounds, nb, in, out, blocks);
}

void PortableDecrypt(const std::uint32_t* rk, int rounds, int nb, const std::uint8_t* in,
                     std::uint8_t* out, size_t blocks) {
  Dispatch<false>(rk, rounds, nb, in, out, blocks);
}

bool HardwareAvailable() {
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
  }();
  return available;
}

}  // namespace qxfw::store::rijndael
