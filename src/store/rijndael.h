// Rijndael block cipher: encrypts every slot of the rule data file and of its journal.
//
// The whole Rijndael family is implemented: keys and blocks of 16, 24 or 32 bytes, with ECB, CBC
// and CFB (full-block feedback) over whole blocks, no padding. The rule store uses a 16-byte key
// with 16-byte blocks in ECB and decrypts whole files of 816-byte slots, so that case runs on
// the processor's AES instructions, several blocks at a time, when the processor has them; all
// other cases, and processors without them, use portable table-driven code with the same
// results. Errors are thrown as CRijndaelError whose what() is the exact text callers compare.
//
// An object holds a key schedule and the chain block; it is used by one thread at a time.
// Different objects are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace qxfw::store {

class CRijndaelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CRijndael {
 public:
  enum { ECB = 0, CBC = 1, CFB = 2 };

  CRijndael();
  virtual ~CRijndael();

  // Expands `key` (keylength bytes: 16, 24 or 32) for blocks of blockSize bytes (16, 24 or 32)
  // and keeps blockSize bytes of `chain` as the initial chain block (a null chain means a zero
  // block). Throws "Empty key" (key null), "Incorrect key length", "Incorrect block length";
  // after a throw the object keeps its previous key, if any.
  void MakeKey(const char* key, const char* chain, int keylength = 16, int blockSize = 16);

  // Transforms n bytes from `in` into `result` (which may be the same buffer) in mode iMode.
  // CBC and CFB continue from the chain block left by the previous call until ResetChain or
  // MakeKey. Throws "Object not Initialized" before MakeKey, "Data not multiple of Block Size"
  // when n is 0 or not a multiple of the block size, and "Incorrect mode" for an unknown mode.
  void Encrypt(const char* in, char* result, size_t n, int iMode = ECB);
  void Decrypt(const char* in, char* result, size_t n, int iMode = ECB);

  // One block of GetBlockSize() bytes; the chain is neither used nor changed.
  // Throws "Object not Initialized" before MakeKey.
  void EncryptBlock(const char* in, char* result);
  void DecryptBlock(const char* in, char* result);

  int GetKeyLength() const { return key_length_; }
  int GetBlockSize() const { return block_size_; }
  int GetRounds() const { return rounds_; }

  // Puts the chain block back to the one given to MakeKey.
  void ResetChain();

  // The AES instructions serve 16-byte blocks when the processor has them and they are allowed
  // (the default). Tests turn them off to compare against the portable code.
  void SetHardwareAllowed(bool allowed) { hardware_allowed_ = allowed; }
  // True when the current key and block size run on the AES instructions.
  bool UsesHardware() const;

 private:
  static constexpr int kMaxBlock = 32;
  static constexpr int kMaxRounds = 14;
  static constexpr int kMaxWords = (kMaxRounds + 1) * (kMaxBlock / 4);

  void RequireKey() const;
  void CheckLength(size_t n) const;
  // ECB over `blocks` whole blocks; in and out may be the same buffer.
  void EncryptBlocks(const std::uint8_t* in, std::uint8_t* out, size_t blocks) const;
  void DecryptBlocks(const std::uint8_t* in, std::uint8_t* out, size_t blocks) const;
  void DecryptCbc(const std::uint8_t* in, std::uint8_t* out, size_t blocks);
  void DecryptCfb(const std::uint8_t* in, std::uint8_t* out, size_t blocks);

  bool key_init_ = false;
  bool hardware_allowed_ = true;
  int key_length_ = 0;
  int block_size_ = 0;
  int rounds_ = 0;
  // Round keys as big-endian column words: encryption, and the equivalent inverse cipher's.
  std::uint32_t enc_words_[kMaxWords] = {};
  std::uint32_t dec_words_[kMaxWords] = {};
  // The same schedules as bytes in the layout the AES instructions take (16-byte blocks only).
  alignas(16) std::uint8_t enc_bytes_[(kMaxRounds + 1) * 16] = {};
  alignas(16) std::uint8_t dec_bytes_[(kMaxRounds + 1) * 16] = {};
  std::uint8_t chain0_[kMaxBlock] = {};
  std::uint8_t chain_[kMaxBlock] = {};
};

}  // namespace qxfw::store
