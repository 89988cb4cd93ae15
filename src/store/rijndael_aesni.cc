// Rijndael with 16-byte blocks on the AES instructions. This file alone is built with -maes
// -msse4.1, and nothing here runs unless HardwareAvailable() said so.
//
// ECB has no dependency between blocks, so eight blocks go through each round together: one
// AESENC has a latency of several cycles but the unit accepts a new one every cycle.
#include <immintrin.h>

#include "store/rijndael_kernels.h"

namespace qxfw::store::rijndael {
namespace {

constexpr int kLanes = 8;

// N blocks through all R rounds side by side. Every loop has a constant trip count and is
// unrolled, so the N states stay in registers.
template <int N, int R, bool kEncrypt>
inline void Lanes(const __m128i* k, const std::uint8_t* in, std::uint8_t* out) {
  __m128i b[N];
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    b[i] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i), k[0]);
  }
#pragma GCC unroll 14
  for (int r = 1; r < R; ++r) {
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) {
      b[i] = kEncrypt ? _mm_aesenc_si128(b[i], k[r]) : _mm_aesdec_si128(b[i], k[r]);
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < N; ++i) {
    b[i] = kEncrypt ? _mm_aesenclast_si128(b[i], k[R]) : _mm_aesdeclast_si128(b[i], k[R]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, b[i]);
  }
}

template <int R, bool kEncrypt>
void Run(const std::uint8_t* rk, const std::uint8_t* in, std::uint8_t* out, size_t blocks) {
  // A local aligned copy lets the rounds take their keys as memory operands.
  __m128i k[R + 1];
  for (int r = 0; r <= R; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk) + r);
  for (; blocks >= kLanes; blocks -= kLanes, in += 16 * kLanes, out += 16 * kLanes) {
    Lanes<kLanes, R, kEncrypt>(k, in, out);
  }
  // The tail (an 816-byte slot leaves three blocks) also goes through the rounds side by side.
  switch (blocks) {
    case 7:
      return Lanes<7, R, kEncrypt>(k, in, out);
    case 6:
      return Lanes<6, R, kEncrypt>(k, in, out);
    case 5:
      return Lanes<5, R, kEncrypt>(k, in, out);
    case 4:
      return Lanes<4, R, kEncrypt>(k, in, out);
    case 3:
      return Lanes<3, R, kEncrypt>(k, in, out);
    case 2:
      return Lanes<2, R, kEncrypt>(k, in, out);
    case 1:
      return Lanes<1, R, kEncrypt>(k, in, out);
  }
}

template <bool kEncrypt>
void Dispatch(const std::uint8_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out,
              size_t blocks) {
  switch (rounds) {
    case 10:
      return Run<10, kEncrypt>(rk, in, out, blocks);
    case 12:
      return Run<12, kEncrypt>(rk, in, out, blocks);
    case 14:
      return Run<14, kEncrypt>(rk, in, out, blocks);
  }
}

}  // namespace

void HardwareEncrypt(const std::uint8_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out,
                     size_t blocks) {
  Dispatch<true>(rk, rounds, in, out, blocks);
}

void HardwareDecrypt(const std::uint8_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out,
                     size_t blocks) {
  Dispatch<false>(rk, rounds, in, out, blocks);
}

void HardwareDecryptSchedule(const std::uint8_t* enc, int rounds, std::uint8_t* dec) {
  const auto* e = reinterpret_cast<const __m128i*>(enc);
  auto* d = reinterpret_cast<__m128i*>(dec);
  _mm_storeu_si128(d, _mm_loadu_si128(e + rounds));
  for (int r = 1; r < rounds; ++r) {
    _mm_storeu_si128(d + r, _mm_aesimc_si128(_mm_loadu_si128(e + rounds - r)));
  }
  _mm_storeu_si128(d + rounds, _mm_loadu_si128(e));
}

}  // namespace qxfw::store::rijndael
