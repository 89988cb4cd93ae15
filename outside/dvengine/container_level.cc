#include "container_level.h"

#include <archive.h>
#include <archive_entry.h>
#include <gmime/gmime.h>

#include <cstring>

namespace qxfw::dvengine {
namespace {

bool StartsWith(const uint8_t* head, size_t size, const char* magic, size_t length, size_t at = 0) {
  return size >= at + length && std::memcmp(head + at, magic, length) == 0;
}

// A mail file starts with header lines; at least two of the usual ones must be there.
bool LooksLikeMail(const uint8_t* head, size_t size) {
  static const char* const kHeaders[] = {
      "from:",        "to:",         "subject:",      "date:",        "received:",
      "return-path:", "message-id:", "mime-version:", "content-type:"};
  size_t at = 0;
  int known = 0;
  if (StartsWith(head, size, "From ", 5)) {
    while (at < size && head[at] != '\n') ++at;
    ++at;
  }
  for (int line = 0; line < 30 && at < size; ++line) {
    size_t end = at;
    while (end < size && head[end] != '\n') ++end;
    if (end == size) break;
    size_t length = end - at;
    if (length == 0 || (length == 1 && head[at] == '\r')) break;
    if (head[at] != ' ' && head[at] != '\t') {
      size_t colon = at;
      while (colon < end && head[colon] != ':' && head[colon] > ' ') ++colon;
      if (colon == end || head[colon] != ':' || colon == at) return false;
      for (const char* name : kHeaders) {
        size_t n = std::strlen(name);
        if (colon + 1 - at == n &&
            strncasecmp(reinterpret_cast<const char*>(head + at), name, n) == 0) {
          ++known;
        }
      }
    }
    at = end + 1;
  }
  return known >= 2;
}

// Takes n bytes from the budget; false when it is spent.
bool Spend(ScanBudget& budget, uint64_t bytes) {
  if (budget.membersLeft == 0 || bytes > budget.bytesLeft) return false;
  budget.bytesLeft -= bytes;
  --budget.membersLeft;
  return true;
}

class ArchiveLevel : public ContainerLevel {
 public:
  ArchiveLevel(int type, const HostIo* io, std::string path, std::vector<uint8_t> data,
               ScanBudget& budget)
      : type_(type), io_(io), path_(std::move(path)), data_(std::move(data)), budget_(budget) {}
  ~ArchiveLevel() override {
    if (archive_ != nullptr) archive_read_free(archive_);
  }

  bool Open() override {
    archive_ = archive_read_new();
    if (archive_ == nullptr) return false;
    archive_read_support_filter_all(archive_);
    archive_read_support_format_all(archive_);
    // A compressed single file (gzip, bzip2, xz) has one member: its content.
    if (type_ == kTypeGzip || type_ == kTypeBzip2 || type_ == kTypeXz) {
      archive_read_support_format_raw(archive_);
    }
    int result;
    if (io_ != nullptr) {
      file_ = std::make_unique<HostFile>(*io_, path_);
      if (!file_->ok()) return false;
      buffer_.resize(64 * 1024);
      archive_read_set_callback_data(archive_, this);
      archive_read_set_read_callback(archive_, ReadFile);
      archive_read_set_seek_callback(archive_, SeekFile);
      archive_read_set_skip_callback(archive_, SkipFile);
      result = archive_read_open1(archive_);
    } else {
      result = archive_read_open_memory(archive_, data_.data(), data_.size());
    }
    return result == ARCHIVE_OK || result == ARCHIVE_WARN;
  }

  Next NextMember(std::string* name, std::vector<uint8_t>* data) override {
    for (;;) {
      archive_entry* entry = nullptr;
      int result = archive_read_next_header(archive_, &entry);
      if (result == ARCHIVE_EOF) return Next::kEnd;
      if (result != ARCHIVE_OK && result != ARCHIVE_WARN) return Next::kError;
      if (archive_entry_filetype(entry) != AE_IFREG && type_ != kTypeGzip && type_ != kTypeBzip2 &&
          type_ != kTypeXz) {
        continue;  // folders, links and devices have nothing to scan
      }
      const char* entryName = archive_entry_pathname(entry);
      *name = entryName != nullptr ? entryName : "";
      if (name->empty() || *name == "data") *name = DefaultName();
      data->clear();
      int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
      if (declared > int64_t(ScanBudget::kMaxMemberBytes)) return Next::kEnd;
      char chunk[64 * 1024];
      for (;;) {
        la_ssize_t n = archive_read_data(archive_, chunk, sizeof(chunk));
        if (n == 0) break;
        if (n < 0) return data->empty() ? Next::kError : Next::kMember;
        if (data->size() + size_t(n) > ScanBudget::kMaxMemberBytes) return Next::kEnd;
        data->insert(data->end(), chunk, chunk + n);
      }
      if (!Spend(budget_, data->size())) return Next::kEnd;
      return Next::kMember;
    }
  }

 private:
  std::string DefaultName() const {
    std::string base = path_;
    size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) return base.substr(0, dot);
    return "data";
  }

  static la_ssize_t ReadFile(archive*, void* self, const void** buffer) {
    auto* level = static_cast<ArchiveLevel*>(self);
    intptr_t n = level->io_->Read(level->file_->handle(), level->buffer_.data(),
                                  static_cast<intptr_t>(level->buffer_.size()));
    if (n < 0) return -1;
    *buffer = level->buffer_.data();
    return n;
  }

  static la_int64_t SeekFile(archive*, void* self, la_int64_t offset, int whence) {
    auto* level = static_cast<ArchiveLevel*>(self);
    intptr_t handle = level->file_->handle();
    int64_t target = offset;
    if (whence == SEEK_CUR) {
      target += level->Position();
    } else if (whence == SEEK_END) {
      target += level->file_->Size();
    }
    if (target < 0) return ARCHIVE_FATAL;
    return level->io_->SeekAbsolute(handle, static_cast<intptr_t>(target));
  }

  static la_int64_t SkipFile(archive* a, void* self, la_int64_t request) {
    auto* level = static_cast<ArchiveLevel*>(self);
    int64_t here = level->Position();
    if (here < 0) return 0;
    if (SeekFile(a, self, here + request, SEEK_SET) < 0) return 0;
    return request;
  }

  int64_t Position() const {
    // The host table has no "tell": a relative seek by 0 answers the position.
    return io_->SeekRelative(file_->handle(), 0);
  }

  int type_;
  const HostIo* io_;
  std::string path_;
  std::vector<uint8_t> data_;
  ScanBudget& budget_;
  std::unique_ptr<HostFile> file_;
  std::vector<char> buffer_;
  archive* archive_ = nullptr;
};

class MailLevel : public ContainerLevel {
 public:
  MailLevel(std::vector<uint8_t> data, ScanBudget& budget)
      : data_(std::move(data)), budget_(budget) {}
  ~MailLevel() override {
    if (message_ != nullptr) g_object_unref(message_);
  }

  bool Open() override {
    static const bool initialised = [] {
      g_mime_init();
      return true;
    }();
    (void)initialised;
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(
        reinterpret_cast<const char*>(data_.data()), data_.size());
    if (stream == nullptr) return false;
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_object_unref(stream);
    if (parser == nullptr) return false;
    message_ = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    if (message_ == nullptr) return false;
    g_mime_message_foreach(message_, Collect, this);
    return true;
  }

  Next NextMember(std::string* name, std::vector<uint8_t>* data) override {
    if (next_ >= parts_.size()) return Next::kEnd;
    Part& part = parts_[next_++];
    *name = std::move(part.name);
    *data = std::move(part.data);
    if (!Spend(budget_, data->size())) return Next::kEnd;
    return Next::kMember;
  }

 private:
  struct Part {
    std::string name;
    std::vector<uint8_t> data;
  };

  static void Collect(GMimeObject*, GMimeObject* object, gpointer self) {
    auto* level = static_cast<MailLevel*>(self);
    if (level->collected_ > ScanBudget::kMaxMemberBytes || level->parts_.size() >= 1000) return;
    GMimeStream* out = g_mime_stream_mem_new();
    std::string name;
    if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      if (inner != nullptr) g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out);
      name = "message";
    } else if (GMIME_IS_PART(object)) {
      GMimePart* part = GMIME_PART(object);
      GMimeDataWrapper* content = g_mime_part_get_content(part);
      if (content != nullptr) g_mime_data_wrapper_write_to_stream(content, out);
      const char* filename = g_mime_part_get_filename(part);
      name = filename != nullptr && *filename ? filename : "";
    } else {
      g_object_unref(out);
      return;
    }
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    Part part;
    part.name = name.empty() ? "part" + std::to_string(level->parts_.size() + 1) : name;
    if (bytes != nullptr) part.data.assign(bytes->data, bytes->data + bytes->len);
    level->collected_ += part.data.size();
    g_object_unref(out);
    level->parts_.push_back(std::move(part));
  }

  std::vector<uint8_t> data_;
  ScanBudget& budget_;
  GMimeMessage* message_ = nullptr;
  std::vector<Part> parts_;
  size_t next_ = 0;
  uint64_t collected_ = 0;
};

bool ReadWhole(const HostIo& io, const std::string& path, std::vector<uint8_t>* data) {
  HostFile file(io, path);
  int64_t size = file.Size();
  if (!file.ok() || size < 0 || uint64_t(size) > ScanBudget::kMaxMemberBytes) return false;
  data->resize(static_cast<size_t>(size));
  return size == 0 || file.ReadAt(0, data->data(), data->size());
}

}  // namespace

int SniffContainer(const uint8_t* head, size_t size) {
  if (StartsWith(head, size, "PK\x03\x04", 4) || StartsWith(head, size, "PK\x05\x06", 4)) {
    return kTypeZip;
  }
  if (StartsWith(head, size, "\x1f\x8b", 2)) return kTypeGzip;
  if (StartsWith(head, size, "BZh", 3) && size > 3 && head[3] >= '1' && head[3] <= '9') {
    return kTypeBzip2;
  }
  if (StartsWith(head, size,
                 "\xfd"
                 "7zXZ\x00",
                 6))
    return kTypeXz;
  if (StartsWith(head, size, "7z\xbc\xaf\x27\x1c", 6)) return kType7z;
  if (StartsWith(head, size, "Rar!\x1a\x07", 6)) return kTypeRar;
  if (StartsWith(head, size, "MSCF\0\0\0\0", 8)) return kTypeCab;
  if (StartsWith(head, size, "070707", 6) || StartsWith(head, size, "070701", 6) ||
      StartsWith(head, size, "070702", 6) || StartsWith(head, size, "\xc7\x71", 2)) {
    return kTypeCpio;
  }
  if (StartsWith(head, size, "!<arch>\n", 8)) return kTypeAr;
  if (StartsWith(head, size, "ustar", 5, 257)) return kTypeTar;
  if (LooksLikeMail(head, size)) return kTypeMail;
  return kNotContainer;
}

const char* ContainerTypeText(int type) {
  switch (type) {
    case kTypeZip:
      return "ZIP";
    case kTypeTar:
      return "TAR";
    case kTypeGzip:
      return "GZIP";
    case kTypeBzip2:
      return "BZIP2";
    case kTypeXz:
      return "XZ";
    case kTypeCpio:
      return "CPIO";
    case kTypeAr:
      return "AR";
    case kTypeMail:
      return "MAIL";
    case kTypeCab:
      return "CAB";
    case kType7z:
      return "7Z";
    case kTypeRar:
      return "RAR";
    default:
      return "";
  }
}

std::unique_ptr<ContainerLevel> OpenFileLevel(int type, const HostIo& io, const std::string& path,
                                              ScanBudget& budget) {
  if (type == kTypeMail) {
    std::vector<uint8_t> data;
    if (!ReadWhole(io, path, &data)) return nullptr;
    return std::make_unique<MailLevel>(std::move(data), budget);
  }
  return std::make_unique<ArchiveLevel>(type, &io, path, std::vector<uint8_t>(), budget);
}

std::unique_ptr<ContainerLevel> OpenMemoryLevel(int type, std::vector<uint8_t> data,
                                                ScanBudget& budget) {
  if (type == kTypeMail) return std::make_unique<MailLevel>(std::move(data), budget);
  return std::make_unique<ArchiveLevel>(type, nullptr, std::string(), std::move(data), budget);
}

}  // namespace qxfw::dvengine
