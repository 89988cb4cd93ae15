#include "store/rijndael.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/rijndael_kernels.h"

namespace qxfw::store {
namespace {

std::string Hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

std::string Encrypt(CRijndael& c, const std::string& in, int mode) {
  std::string out(in.size(), '\0');
  c.Encrypt(in.data(), out.data(), in.size(), mode);
  return out;
}

std::string Decrypt(CRijndael& c, const std::string& in, int mode) {
  std::string out(in.size(), '\0');
  c.Decrypt(in.data(), out.data(), in.size(), mode);
  return out;
}

// OpenSSL's AES encryption with padding off; its "cfb" is the full-block CFB128.
std::string OpenSsl(int mode, const std::string& key, const std::string& iv,
                    const std::string& data) {
  const char* modes[] = {"ecb", "cbc", "cfb"};
  const std::string name = "aes-" + std::to_string(key.size() * 8) + "-" + modes[mode];
  const EVP_CIPHER* cipher = EVP_get_cipherbyname(name.c_str());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(data.size() + 16, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int len = 0, tail = 0;
  bool ok =
      cipher != nullptr && ctx != nullptr &&
      EVP_EncryptInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                         reinterpret_cast<const unsigned char*>(iv.data())) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
      EVP_EncryptUpdate(ctx, o, &len, reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx, o + len, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_TRUE(ok) << "OpenSSL failed for " << name;
  out.resize(len + tail);
  return out;
}

void ExpectError(const std::function<void()>& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected \"" << text << "\"";
  } catch (const CRijndaelError& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
}

// Every test below that can run on both code paths runs on both.
enum class Path { kHardware, kPortable };

class RijndaelPaths : public testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (GetParam() == Path::kHardware && !rijndael::HardwareAvailable()) {
      GTEST_SKIP() << "this processor has no AES instructions";
    }
  }
  // A cipher keyed for the path under test; checks that the path is really the one in use.
  void Key(CRijndael& c, const std::string& key, const std::string& chain = std::string(),
           int blockSize = 16) {
    c.SetHardwareAllowed(GetParam() == Path::kHardware);
    c.MakeKey(key.data(), chain.empty() ? nullptr : chain.data(), static_cast<int>(key.size()),
              blockSize);
    ASSERT_EQ(c.UsesHardware(), GetParam() == Path::kHardware && blockSize == 16);
  }
};

INSTANTIATE_TEST_SUITE_P(BothPaths, RijndaelPaths,
                         testing::Values(Path::kHardware, Path::kPortable),
                         [](const testing::TestParamInfo<Path>& info) {
                           return info.param == Path::kHardware ? "Hardware" : "Portable";
                         });

TEST_P(RijndaelPaths, AesStandardAppendixCVectors) {
  struct Vector {
    const char* key;
    const char* cipher;
    int rounds;
  };
  const Vector vectors[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a", 10},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191", 12},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089", 14},
  };
  const std::string plain = Hex("00112233445566778899aabbccddeeff");
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.key);
    CRijndael c;
    Key(c, Hex(v.key));
    EXPECT_EQ(c.GetRounds(), v.rounds);
    EXPECT_EQ(ToHex(Encrypt(c, plain, CRijndael::ECB)), v.cipher);
    EXPECT_EQ(Decrypt(c, Hex(v.cipher), CRijndael::ECB), plain);
    char block[16];
    c.EncryptBlock(plain.data(), block);
    EXPECT_EQ(ToHex(std::string(block, 16)), v.cipher);
    c.DecryptBlock(block, block);
    EXPECT_EQ(std::string(block, 16), plain);
  }
}

// Known answers of the full Rijndael family: key 2b7e...0cfe and plaintext 3243...e6c8 cut to
// each length, and single-bit vectors with 32-byte blocks.
TEST(Rijndael, PublishedVectorsForEveryBlockAndKeyLength) {
  const std::string key = Hex("2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe");
  const std::string plain = Hex("3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8");
  struct Vector {
    int block;
    int keylen;
    const char* cipher;
  };
  const Vector vectors[] = {
      {16, 16, "3925841d02dc09fbdc118597196a0b32"},
      {16, 24, "f9fb29aefc384a250340d833b87ebc00"},
      {16, 32, "1a6e6c2c662e7da6501ffb62bc9e93f3"},
      {24, 16, "b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a"},
      {24, 24, "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf"},
      {24, 32, "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c"},
      {32, 16, "7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19"},
      {32, 24, "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2"},
      {32, 32, "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(testing::Message() << "block " << v.block << " key " << v.keylen);
    CRijndael c;
    c.MakeKey(key.data(), nullptr, v.keylen, v.block);
    EXPECT_EQ(c.GetBlockSize(), v.block);
    EXPECT_EQ(c.GetKeyLength(), v.keylen);
    EXPECT_EQ(c.GetRounds(), std::max(v.block, v.keylen) / 4 + 6);
    const std::string p = plain.substr(0, v.block);
    EXPECT_EQ(ToHex(Encrypt(c, p, CRijndael::ECB)), v.cipher);
    EXPECT_EQ(Decrypt(c, Hex(v.cipher), CRijndael::ECB), p);
  }

  struct BitVector {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const BitVector bits[] = {
      {"8000000000000000000000000000000000000000000000000000000000000000",
       "0000000000000000000000000000000000000000000000000000000000000000",
       "e62abce069837b65309be4eda2c0e149fe56c07b7082d3287f592c4a4927a277"},
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "8000000000000000000000000000000000000000000000000000000000000000",
       "159a08e46e616e6e9978502010daff922eb362e77dcaaf02eaeb7354eb8b8dba"},
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "1000000000000000000000000000000000000000000000000000000000000000",
       "db462eec713d4cc89607dca35c4fe6e8d618c8bdacd3dd1c0a1b14e6ca8c23c6"},
  };
  for (const auto& v : bits) {
    SCOPED_TRACE(v.cipher);
    CRijndael c;
    c.MakeKey(Hex(v.key).data(), nullptr, 32, 32);
    EXPECT_EQ(ToHex(Encrypt(c, Hex(v.plain), CRijndael::ECB)), v.cipher);
    EXPECT_EQ(ToHex(Decrypt(c, Hex(v.cipher), CRijndael::ECB)), v.plain);
  }
}

// Random keys, chains and lengths against OpenSSL; each message is also fed in random pieces
// to check that the chain carries over from one call to the next.
TEST_P(RijndaelPaths, MatchesOpenSslInEveryModeAndCarriesTheChainAcrossCalls) {
  std::mt19937 rng(20240611);
  for (int keylen : {16, 24, 32}) {
    for (int mode : {CRijndael::ECB, CRijndael::CBC, CRijndael::CFB}) {
      for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(testing::Message() << "key " << keylen << " mode " << mode << " #" << round);
        const std::string key = RandomBytes(rng, keylen);
        const std::string iv = RandomBytes(rng, 16);
        const std::string plain = RandomBytes(rng, 16 * (1 + rng() % 70));
        const std::string expected = OpenSsl(mode, key, iv, plain);

        CRijndael c;
        Key(c, key, iv);
        EXPECT_EQ(Encrypt(c, plain, mode), expected);
        c.ResetChain();
        EXPECT_EQ(Decrypt(c, expected, mode), plain);

        c.ResetChain();
        std::string pieces;
        for (size_t at = 0; at < plain.size();) {
          size_t len = std::min(plain.size() - at, 16 * (1 + rng() % 11));
          pieces += Encrypt(c, plain.substr(at, len), mode);
          at += len;
        }
        EXPECT_EQ(pieces, expected);
        c.ResetChain();
        std::string back;
        for (size_t at = 0; at < expected.size();) {
          size_t len = std::min(expected.size() - at, 16 * (1 + rng() % 11));
          back += Decrypt(c, expected.substr(at, len), mode);
          at += len;
        }
        EXPECT_EQ(back, plain);
      }
    }
  }
}

// The rule store's own case: a whole 816-byte slot, ECB, with the store key, decrypted in place.
TEST_P(RijndaelPaths, RuleStoreSlotRoundTripsInPlace) {
  const std::string key("Pardix\0\0TableKey", 16);
  std::mt19937 rng(816);
  const std::string slot = RandomBytes(rng, 816);
  CRijndael c;
  Key(c, key);
  std::string buffer = slot;
  c.Encrypt(buffer.data(), buffer.data(), buffer.size(), CRijndael::ECB);
  EXPECT_EQ(buffer, OpenSsl(CRijndael::ECB, key, std::string(16, '\0'), slot));
  c.Decrypt(buffer.data(), buffer.data(), buffer.size(), CRijndael::ECB);
  EXPECT_EQ(buffer, slot);
}

TEST(Rijndael, HardwareAndPortablePathsAgreeAtEveryTailLength) {
  if (!rijndael::HardwareAvailable()) GTEST_SKIP() << "this processor has no AES instructions";
  std::mt19937 rng(7);
  for (int keylen : {16, 24, 32}) {
    const std::string key = RandomBytes(rng, keylen);
    const std::string iv = RandomBytes(rng, 16);
    CRijndael hw, sw;
    hw.MakeKey(key.data(), iv.data(), keylen, 16);
    sw.MakeKey(key.data(), iv.data(), keylen, 16);
    sw.SetHardwareAllowed(false);
    ASSERT_TRUE(hw.UsesHardware());
    ASSERT_FALSE(sw.UsesHardware());
    // 1 to 40 blocks covers the 8-lane groups and every tail of 1 to 7 blocks.
    for (size_t blocks = 1; blocks <= 40; ++blocks) {
      SCOPED_TRACE(testing::Message() << "key " << keylen << " blocks " << blocks);
      const std::string plain = RandomBytes(rng, 16 * blocks);
      for (int mode : {CRijndael::ECB, CRijndael::CBC, CRijndael::CFB}) {
        const std::string a = Encrypt(hw, plain, mode);
        EXPECT_EQ(a, Encrypt(sw, plain, mode));
        EXPECT_EQ(Decrypt(hw, a, mode), Decrypt(sw, a, mode));
        hw.ResetChain();
        sw.ResetChain();
      }
    }
  }
}

// Blocks of 24 and 32 bytes have no outside reference for the chained modes, so they are
// checked against their definition built from single-block encryption, in place, across the
// 8-block groups used by chained decryption.
TEST(Rijndael, ChainedModesOnLargeBlocksFollowTheirDefinition) {
  std::mt19937 rng(99);
  for (int bs : {24, 32}) {
    for (int keylen : {16, 24, 32}) {
      SCOPED_TRACE(testing::Message() << "block " << bs << " key " << keylen);
      const std::string key = RandomBytes(rng, keylen);
      const std::string iv = RandomBytes(rng, bs);
      const std::string plain = RandomBytes(rng, bs * 19);
      CRijndael c;
      c.MakeKey(key.data(), iv.data(), keylen, bs);

      std::string cbc, cfb;
      std::string prevCbc = iv, prevCfb = iv;
      std::string block(bs, '\0');
      for (int i = 0; i < 19; ++i) {
        std::string p = plain.substr(i * bs, bs);
        std::string x(bs, '\0');
        for (int k = 0; k < bs; ++k) x[k] = static_cast<char>(p[k] ^ prevCbc[k]);
        c.EncryptBlock(x.data(), block.data());
        cbc += block;
        prevCbc = block;
        c.EncryptBlock(prevCfb.data(), block.data());
        for (int k = 0; k < bs; ++k) block[k] = static_cast<char>(block[k] ^ p[k]);
        cfb += block;
        prevCfb = block;
      }

      for (int mode : {CRijndael::CBC, CRijndael::CFB}) {
        const std::string& expected = mode == CRijndael::CBC ? cbc : cfb;
        std::string buffer = plain;
        c.ResetChain();
        c.Encrypt(buffer.data(), buffer.data(), buffer.size(), mode);
        EXPECT_EQ(buffer, expected) << "mode " << mode;
        c.ResetChain();
        c.Decrypt(buffer.data(), buffer.data(), buffer.size(), mode);
        EXPECT_EQ(buffer, plain) << "mode " << mode;
      }
    }
  }
}

TEST(Rijndael, ChainPersistsUntilResetOrNewKey) {
  std::mt19937 rng(3);
  const std::string key = RandomBytes(rng, 16);
  const std::string iv = RandomBytes(rng, 16);
  const std::string a = RandomBytes(rng, 48), b = RandomBytes(rng, 32);
  CRijndael c;
  c.MakeKey(key.data(), iv.data());
  const std::string first = Encrypt(c, a, CRijndael::CBC);
  // ECB and single blocks neither use nor move the chain.
  Encrypt(c, b, CRijndael::ECB);
  char scratch[16];
  c.EncryptBlock(b.data(), scratch);
  const std::string second = Encrypt(c, b, CRijndael::CBC);
  EXPECT_EQ(first + second, OpenSsl(CRijndael::CBC, key, iv, a + b));
  EXPECT_NE(second, Encrypt(c, b, CRijndael::CBC));  // the chain moved on again

  c.ResetChain();
  EXPECT_EQ(Encrypt(c, a, CRijndael::CBC), first);
  c.MakeKey(key.data(), iv.data());
  EXPECT_EQ(Encrypt(c, a, CRijndael::CBC), first);

  // Without a chain block the chain starts as zeros.
  c.MakeKey(key.data(), nullptr);
  EXPECT_EQ(Encrypt(c, a, CRijndael::CFB), OpenSsl(CRijndael::CFB, key, std::string(16, '\0'), a));
}

TEST(Rijndael, ReportsEveryErrorWithItsText) {
  const std::string key(32, 'k');
  char buf[64] = {};
  CRijndael c;
  ExpectError([&] { c.Encrypt(buf, buf, 16); }, "Object not Initialized");
  ExpectError([&] { c.Decrypt(buf, buf, 16, CRijndael::CBC); }, "Object not Initialized");
  ExpectError([&] { c.EncryptBlock(buf, buf); }, "Object not Initialized");
  ExpectError([&] { c.DecryptBlock(buf, buf); }, "Object not Initialized");

  ExpectError([&] { c.MakeKey(nullptr, buf); }, "Empty key");
  for (int bad : {0, 8, 20, 28, 33, -16}) {
    ExpectError([&] { c.MakeKey(key.data(), buf, bad); }, "Incorrect key length");
    ExpectError([&] { c.MakeKey(key.data(), buf, 16, bad); }, "Incorrect block length");
  }
  // A failed MakeKey leaves the object as it was: here still without a key.
  ExpectError([&] { c.Encrypt(buf, buf, 16); }, "Object not Initialized");

  c.MakeKey(key.data(), buf, 16, 24);
  for (size_t n : {size_t{0}, size_t{16}, size_t{23}, size_t{25}, size_t{40}}) {
    ExpectError([&] { c.Encrypt(buf, buf, n); }, "Data not multiple of Block Size");
    ExpectError([&] { c.Decrypt(buf, buf, n, CRijndael::CFB); }, "Data not multiple of Block Size");
  }
  ExpectError([&] { c.Encrypt(buf, buf, 48, 3); }, "Incorrect mode");
  ExpectError([&] { c.Decrypt(buf, buf, 48, -1); }, "Incorrect mode");

  // The earlier key survives a rejected MakeKey.
  char before[24], after[24];
  c.EncryptBlock(buf, before);
  ExpectError([&] { c.MakeKey(key.data(), buf, 16, 20); }, "Incorrect block length");
  EXPECT_EQ(c.GetBlockSize(), 24);
  c.EncryptBlock(buf, after);
  EXPECT_EQ(std::string(before, 24), std::string(after, 24));
}

}  // namespace
}  // namespace qxfw::store
