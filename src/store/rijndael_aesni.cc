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

template <int R, bool kEncrypt>
inline void Lanes(const __m128i* k, __m128i* b, int lanes) {
  for (int i = 0; i < lanes; ++i) b[i] = _mm_xor_si128(b[i], k[0]);
  for (int r = 1; r < R; ++r) {
#pragma GCC unroll 8
    for (int i = 0; i < lanes; ++i) {
      b[i] = kEncrypt ? _mm_aesenc_si128(b[i], k[r]) : _mm_aesdec_si128(b[i], k[r]);
    }
  }
#pragma GCC unroll 8
  for (int i = 0; i < lanes; ++i) {
    b[i] = kEncrypt ? _mm_aesenclast_si128(b[i], k[R]) : _mm_aesdeclast_si128(b[i], k[R]);
  }
}

template <int R, bool kEncrypt>
void Run(const std::uint8_t* rk, const std::uint8_t* in, std::uint8_t* out, size_t blocks) {
  __m128i k[R + 1];
  for (int r = 0; r <= R; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk) + r);
  __m128i b[kLanes];
  for (; blocks >= kLanes; blocks -= kLanes, in += 16 * kLanes, out += 16 * kLanes) {
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i)
      b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i);
    Lanes<R, kEncrypt>(k, b, kLanes);
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, b[i]);
  }
  // The tail (an 816-byte slot leaves three blocks) still goes through the rounds side by
  // side: four lanes, then what is left one at a time.
  if (blocks >= 4) {
    for (int i = 0; i < 4; ++i) b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i);
    Lanes<R, kEncrypt>(k, b, 4);
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, b[i]);
    blocks -= 4;
    in += 64;
    out += 64;
  }
  const int left = static_cast<int>(blocks);
  for (int i = 0; i < left; ++i) b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i);
  switch (left) {
    case 3:
      Lanes<R, kEncrypt>(k, b, 3);
      break;
    case 2:
      Lanes<R, kEncrypt>(k, b, 2);
      break;
    case 1:
      Lanes<R, kEncrypt>(k, b, 1);
      break;
  }
  for (int i = 0; i < left; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, b[i]);
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
