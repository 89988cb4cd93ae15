// The ".vdb" header reader on arbitrary bytes: never reads past the data, and whatever it
// accepts has the tag, the mark and a 15-bit priority where it says.
#include <cstdint>
#include <cstring>
#include <vector>

#include "avlib/vdb_header.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes, so a read past the end is caught by the sanitizers.
  std::vector<uint8_t> copy(data, data + size);
  qxfw::avlib::VdbHeader header;
  if (!qxfw::avlib::ParseVdbHeader(copy.data(), copy.size(), &header)) return 0;
  FUZZ_CHECK(header.tagOffset % 4 == 0);
  FUZZ_CHECK(header.tagOffset + qxfw::avlib::kVdbTagSpan <= size);
  FUZZ_CHECK(header.tagOffset + qxfw::avlib::kVdbTagSpan <= qxfw::avlib::kVdbHeaderSize);
  FUZZ_CHECK(std::memcmp(copy.data() + header.tagOffset, "IDVE", 4) == 0);
  FUZZ_CHECK(std::memcmp(copy.data() + header.tagOffset + 44, "nayk", 4) == 0);
  FUZZ_CHECK(header.priority <= 0x7FFF);
  FUZZ_CHECK(header.payloadType.size() <= 8 && header.name.size() <= 24);
  return 0;
}
