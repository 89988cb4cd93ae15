#include "firewall/device_frame.h"

#include <cstring>

namespace qxfw::firewall {
namespace {

// The frames are little-endian; so is every machine this builds for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

template <typename Header>
void AppendHeader(const Header& header, std::vector<uint8_t>* out) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
  out->insert(out->end(), bytes, bytes + sizeof(header));
}

void AppendBytes(const void* data, uint32_t length, std::vector<uint8_t>* out) {
  if (length == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + length);
}

}  // namespace

long DecodeCall(const uint8_t* data, size_t size, DeviceCall* call) {
  tagDEVICE_CALL_HEADER header;
  if (size < sizeof(header)) return kNeedMore;
  std::memcpy(&header, data, sizeof(header));
  if (header.inputLength > kMaxCallInput || header.outputSize > kMaxCallOutput) return kMalformed;
  size_t total = sizeof(header) + header.inputLength;
  if (size < total) return kNeedMore;
  call->controlCode = header.controlCode;
  call->outputSize = header.outputSize;
  call->input.assign(data + sizeof(header), data + total);
  return static_cast<long>(total);
}

long DecodeReply(const uint8_t* data, size_t size, uint32_t maxOutput, DeviceReply* reply) {
  tagDEVICE_REPLY_HEADER header;
  if (size < sizeof(header)) return kNeedMore;
  std::memcpy(&header, data, sizeof(header));
  if (header.outputLength > maxOutput || header.outputLength > kMaxCallOutput) return kMalformed;
  size_t total = sizeof(header) + header.outputLength;
  if (size < total) return kNeedMore;
  reply->status = header.status;
  reply->output.assign(data + sizeof(header), data + total);
  return static_cast<long>(total);
}

bool EncodeCall(uint32_t controlCode, const void* input, uint32_t inputLength, uint32_t outputSize,
                std::vector<uint8_t>* out) {
  if (inputLength > kMaxCallInput || outputSize > kMaxCallOutput) return false;
  if (inputLength > 0 && input == nullptr) return false;
  AppendHeader(tagDEVICE_CALL_HEADER{controlCode, inputLength, outputSize}, out);
  AppendBytes(input, inputLength, out);
  return true;
}

bool EncodeReply(uint32_t status, const void* output, uint32_t outputLength,
                 std::vector<uint8_t>* out) {
  if (outputLength > kMaxCallOutput) return false;
  if (outputLength > 0 && output == nullptr) return false;
  AppendHeader(tagDEVICE_REPLY_HEADER{status, outputLength}, out);
  AppendBytes(output, outputLength, out);
  return true;
}

}  // namespace qxfw::firewall
