#include "avlib/quarantine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::avlib {
namespace {

using test_support::ReadTextFile;
using test_support::TempDir;
using test_support::WriteTextFile;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

timespec MtimeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mtim;
}

void SetMtime(const std::string& path, time_t seconds) {
  timespec times[2] = {{seconds, 0}, {seconds, 250000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class QuarantineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(q_.DefineBase(sys_.path()));
    ASSERT_EQ(mkdir((work_.path() + "/docs").c_str(), 0755), 0);
  }
  std::string Source(const std::string& name) { return work_.path() + "/docs/" + name; }

  TempDir sys_;
  TempDir work_;
  Quarantine q_;
};

TEST_F(QuarantineTest, RoundTripKeepsBytesAndTimeAndScramblesWithTheKey) {
  std::string bytes;
  for (int i = 0; i < 130; ++i) bytes.push_back(static_cast<char>(i * 7));
  const std::string path = Source("infected.bin");
  WriteTextFile(path, bytes);
  SetMtime(path, 1234567890);

  std::string made;
  ASSERT_TRUE(q_.ToQuarantine(path, "Eicar-Test", &made));
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(made.rfind(q_.Folder() + "/", 0), 0u);
  // Name: 8+ hex digits of seconds, ".", 3+ hex digits of milliseconds.
  std::string name = made.substr(made.rfind('/') + 1);
  EXPECT_TRUE(name.size() >= 12 && name[8] == '.') << name;

  std::string stored = ReadTextFile(made);
  std::string header = path + "|Eicar-Test;";
  ASSERT_EQ(stored.size(), header.size() + 130);
  EXPECT_EQ(stored.substr(0, header.size()), header);
  const std::string body = stored.substr(header.size());
  EXPECT_EQ(static_cast<uint8_t>(body[0]), static_cast<uint8_t>(bytes[0] + 1));
  EXPECT_EQ(body[63], bytes[63]);  // k = 64, key 0
  EXPECT_EQ(static_cast<uint8_t>(body[64]), static_cast<uint8_t>(bytes[64] + 1));
  EXPECT_EQ(MtimeOf(made).tv_sec, 1234567890);

  struct stat folder_st;
  ASSERT_EQ(stat(q_.Folder().c_str(), &folder_st), 0);
  EXPECT_EQ(folder_st.st_mode & 0777, 0700u);

  auto list = q_.List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].source, path);
  EXPECT_EQ(list[0].note, "Eicar-Test");
  EXPECT_EQ(list[0].stored_bytes, 130u);

  ASSERT_TRUE(q_.Restore(made));
  EXPECT_FALSE(Exists(made));
  EXPECT_EQ(ReadTextFile(path), bytes);
  EXPECT_EQ(MtimeOf(path).tv_sec, 1234567890);
  EXPECT_EQ(MtimeOf(path).tv_nsec, 250000000);
}

TEST_F(QuarantineTest, LargeFileKeysFollowThePositionAcrossReads) {
  std::string bytes(200003, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + (i >> 8));
  const std::string path = Source("large");
  WriteTextFile(path, bytes);
  std::string made;
  ASSERT_TRUE(q_.ToQuarantine(path, "V", &made));
  const std::string stored = ReadTextFile(made);
  const size_t header = path.size() + 3;
  ASSERT_EQ(stored.size(), header + bytes.size());
  for (size_t k : {1u, 64u, 65u, 65536u, 65537u, 200003u}) {
    EXPECT_EQ(static_cast<uint8_t>(stored[header + k - 1]),
              static_cast<uint8_t>(bytes[k - 1] + k % 64))
        << k;
  }
  ASSERT_TRUE(q_.Restore(made));
  EXPECT_EQ(ReadTextFile(path), bytes);
}

TEST_F(QuarantineTest, EmptyFileAndSameMillisecondQuarantinesKeepEveryFile) {
  const std::string empty = Source("empty");
  WriteTextFile(empty, "");
  std::string made_empty;
  ASSERT_TRUE(q_.ToQuarantine(empty, "V", &made_empty));
  EXPECT_EQ(ReadTextFile(made_empty), empty + "|V;");

  // Several quarantines in quick succession: every one keeps its own file.
  std::vector<std::string> made(5);
  for (int i = 0; i < 5; ++i) {
    WriteTextFile(Source("f" + std::to_string(i)), "content " + std::to_string(i));
    ASSERT_TRUE(q_.ToQuarantine(Source("f" + std::to_string(i)), "V", &made[i]));
  }
  EXPECT_EQ(q_.List().size(), 6u);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(q_.Restore(made[i]));
    EXPECT_EQ(ReadTextFile(Source("f" + std::to_string(i))), "content " + std::to_string(i));
  }
  ASSERT_TRUE(q_.Restore(made_empty));
  EXPECT_EQ(ReadTextFile(empty), "");
}

TEST_F(QuarantineTest, RefusesWhatTheHeaderCannotCarryAndShortensLongNotes) {
  for (const std::string name : {"a|b", "a;b"}) {
    const std::string path = Source(name);
    WriteTextFile(path, "x");
    EXPECT_FALSE(q_.ToQuarantine(path, "V"));
    EXPECT_TRUE(Exists(path));
  }
  std::string deep = work_.path() + "/docs/" + std::string(250, 'd');
  EXPECT_FALSE(q_.ToQuarantine(deep, "V"));

  const std::string path = Source("n");
  WriteTextFile(path, "abc");
  std::string made;
  EXPECT_FALSE(q_.ToQuarantine(path, "Name;tail"));
  EXPECT_TRUE(q_.List().empty());

  // A long note is shortened so that the header can still be restored.
  ASSERT_TRUE(q_.ToQuarantine(path, std::string(400, 'v'), &made));
  ASSERT_TRUE(q_.Restore(made));
  EXPECT_EQ(ReadTextFile(path), "abc");

  // Symbolic links are not quarantined (unlinking one would leave its target).
  ASSERT_EQ(symlink(path.c_str(), Source("link").c_str()), 0);
  EXPECT_FALSE(q_.ToQuarantine(Source("link"), "V"));
  EXPECT_TRUE(Exists(path));
}

TEST_F(QuarantineTest, NoBaseFolderChangesNothing) {
  Quarantine none;
  const std::string path = Source("x");
  WriteTextFile(path, "x");
  EXPECT_FALSE(none.ToQuarantine(path, "V"));
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(none.DefineBase(std::string(300, 'b')));
}

TEST_F(QuarantineTest, FullDiskKeepsTheSource) {
  const std::string path = Source("big");
  WriteTextFile(path, std::string(200000, 'z'));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The copy may not grow past 64 KiB, as on a disk that fills up during the copy.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{65536, 65536};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(q_.ToQuarantine(path, "V") ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "quarantine reported success on a full disk";
  EXPECT_EQ(ReadTextFile(path), std::string(200000, 'z'));
  EXPECT_TRUE(q_.List().empty());
}

class RestoreRefusalTest : public QuarantineTest {
 protected:
  std::string Crafted(const std::string& name, const std::string& content) {
    std::string folder = q_.Folder();
    mkdir((sys_.path() + "/quarantine").c_str(), 0755);
    mkdir(folder.c_str(), 0700);
    return WriteTextFile(folder + "/" + name, content, 0600);
  }
};

TEST_F(RestoreRefusalTest, CraftedHeadersAreRefusedAndTheFileStays) {
  const std::string victim = Source("victim");
  WriteTextFile(victim, "keep");
  const std::string traversal = work_.path() + "/docs/../docs/victim";
  const std::vector<std::string> headers = {
      "../x|n;body",                                             // relative
      traversal + "|n;body",                                     // ".." component
      Source("a\nb") + "|n;body",                                // control character
      Source("victim") + "n;body",                               // no "|"
      Source("victim") + "|" + std::string(300, 'n') + ";body",  // no ";" in reach
      std::string("/") + std::string(1, '\0') + "x|n;body",
  };
  for (size_t i = 0; i < headers.size(); ++i) {
    std::string file = Crafted("bad" + std::to_string(i), headers[i]);
    EXPECT_FALSE(q_.Restore(file)) << i;
    EXPECT_TRUE(Exists(file)) << i;
  }
  EXPECT_EQ(ReadTextFile(victim), "keep");
}

TEST_F(RestoreRefusalTest, SymlinkAtTheTargetIsNeverFollowed) {
  const std::string victim = Source("victim");
  WriteTextFile(victim, "keep");
  const std::string target = Source("target");
  ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
  std::string file = Crafted("sym", target + "|n;" + std::string("\x01\x02", 2));
  EXPECT_FALSE(q_.Restore(file));
  EXPECT_TRUE(Exists(file));
  EXPECT_EQ(ReadTextFile(victim), "keep");
}

TEST_F(RestoreRefusalTest, MissingGrandparentFailsAndNotOwnedFilesAreRefused) {
  std::string file = Crafted("gone", work_.path() + "/no/such/file|n;\x01");
  EXPECT_FALSE(q_.Restore(file));
  EXPECT_TRUE(Exists(file));

  // A missing parent folder (one level) is made again.
  file = Crafted("one", work_.path() + "/newdir/file|n;\x01\x02");
  ASSERT_TRUE(q_.Restore(file));
  EXPECT_EQ(ReadTextFile(work_.path() + "/newdir/file"), std::string("\0\0", 2));

  if (geteuid() == 0) {
    file = Crafted("foreign", Source("f") + "|n;\x01");
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(q_.Restore(file));
    EXPECT_FALSE(Exists(Source("f")));
  }
}

TEST(QuarantineHeaderTest, ParsesAndChecksTargets) {
  QuarantineHeader h;
  ASSERT_TRUE(ParseQuarantineHeader("/a/b|note|x;rest", &h));
  EXPECT_EQ(h.path, "/a/b");
  EXPECT_EQ(h.note, "note|x");
  EXPECT_EQ(h.body_offset, 12u);
  EXPECT_FALSE(ParseQuarantineHeader("/a/b|note", &h));
  EXPECT_TRUE(RestoreTargetIsSafe("/home/u/file.txt"));
  for (const char* bad : {"", "/", "rel/x", "/a/../b", "/a/./b", "/a//b", "/a/b/", "/a/\x7f"})
    EXPECT_FALSE(RestoreTargetIsSafe(bad)) << bad;
}

}  // namespace
}  // namespace qxfw::avlib
