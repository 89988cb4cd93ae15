#include "avlib/quarantine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <string>

#include "avlib/quarantine_format.h"
#include "platform/debug_output.h"
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

std::string Joined(const platform::ScopedDebugCapture& debug) {
  std::string all;
  for (const std::string& line : debug.Lines()) all += line + "\n";
  return all;
}

// The folder-id field a quarantine of a file in folder writes after the note.
std::string FolderField(const std::string& folder) {
  struct stat st {};
  EXPECT_EQ(stat(folder.c_str(), &st), 0);
  char text[64];
  std::snprintf(text, sizeof text, "|dir:%016llx.%016llx",
                static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return text;
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
  std::string header = path + "|Eicar-Test" + FolderField(work_.path() + "/docs") + ";";
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
  const size_t header = path.size() + 3 + FolderField(work_.path() + "/docs").size();
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
  EXPECT_EQ(ReadTextFile(made_empty), empty + "|V" + FolderField(work_.path() + "/docs") + ";");

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

// The folder of the target was removed and something else put in its place before the
// restore: a link to a private folder is never followed, and another folder than the one the
// file came from is refused. Both keep the quarantine file.
TEST_F(RestoreRefusalTest, SwappedTargetFolderIsRefusedAndNothingIsWrittenThrough) {
  const std::string sub = work_.path() + "/docs/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  WriteTextFile(sub + "/report", "quarantined content");
  std::string made;
  ASSERT_TRUE(q_.ToQuarantine(sub + "/report", "V", &made));
  ASSERT_EQ(rmdir(sub.c_str()), 0);

  TempDir private_dir;
  const std::string secret = WriteTextFile(private_dir.path() + "/report", "secret", 0600);
  ASSERT_EQ(symlink(private_dir.path().c_str(), sub.c_str()), 0);
  {
    platform::ScopedDebugCapture debug;
    EXPECT_FALSE(q_.Restore(made));
    EXPECT_NE(Joined(debug).find("is a link or not a folder"), std::string::npos) << Joined(debug);
  }
  EXPECT_EQ(ReadTextFile(secret), "secret");
  EXPECT_TRUE(Exists(made));

  // A real folder made since, even the caller's own, is not the one the file came from.
  ASSERT_EQ(unlink(sub.c_str()), 0);
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  EXPECT_FALSE(q_.Restore(made));
  EXPECT_FALSE(Exists(sub + "/report"));
  EXPECT_TRUE(Exists(made));

  // A folder the restore makes itself is fine.
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  ASSERT_TRUE(q_.Restore(made));
  EXPECT_EQ(ReadTextFile(sub + "/report"), "quarantined content");
  EXPECT_FALSE(Exists(made));
}

// Files written before the folder was recorded restore with the folder checks alone; a link
// anywhere on the way still stops them.
TEST_F(RestoreRefusalTest, FilesWithoutTheFolderIdRestoreWithTheFolderChecks) {
  const std::string path = Source("old");
  std::string file = Crafted("old", path + "|Old.Virus;" + std::string("\x01\x02\x03", 3));
  ASSERT_TRUE(q_.Restore(file));
  EXPECT_EQ(ReadTextFile(path), std::string(3, '\0'));
  EXPECT_FALSE(Exists(file));

  TempDir private_dir;
  const std::string secret = WriteTextFile(private_dir.path() + "/x", "secret", 0600);
  ASSERT_EQ(symlink(private_dir.path().c_str(), (work_.path() + "/lnk").c_str()), 0);
  file = Crafted("old2", work_.path() + "/lnk/x|Old.Virus;" + std::string("\x01", 1));
  EXPECT_FALSE(q_.Restore(file));
  EXPECT_EQ(ReadTextFile(secret), "secret");
  EXPECT_TRUE(Exists(file));
}

// On a kernel without openat2 (here: the call refused with ENOSYS by a seccomp filter in a
// child) the folders are opened with O_NOFOLLOW, which refuses the link just the same.
TEST_F(RestoreRefusalTest, WithoutOpenat2ALinkedFolderIsStillRefused) {
  // No folder field: the walk alone has to stop the link.
  const std::string sub = work_.path() + "/docs/sub";
  const std::string made = Crafted("nofield", sub + "/report|V;" + std::string("\x01\x02", 2));
  TempDir private_dir;
  const std::string secret = WriteTextFile(private_dir.path() + "/report", "secret", 0600);
  ASSERT_EQ(symlink(private_dir.path().c_str(), sub.c_str()), 0);

  // 0: refused and openat2 was refused too; 1: restored; 2: the filter could not be set.
  auto restore_without_openat2 = [&] {
    pid_t child = fork();
    if (child == 0) {
      sock_filter filter[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
          prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(2);
      if (syscall(SYS_openat2, AT_FDCWD, "/", nullptr, 0) != -1 || errno != ENOSYS) _exit(2);
      _exit(q_.Restore(made) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
  };
  EXPECT_EQ(restore_without_openat2(), 0);
  EXPECT_EQ(ReadTextFile(secret), "secret");
  EXPECT_TRUE(Exists(made));
  // The same path with real folders restores.
  ASSERT_EQ(unlink(sub.c_str()), 0);
  EXPECT_EQ(restore_without_openat2(), 1);
  EXPECT_EQ(ReadTextFile(sub + "/report"), std::string(2, '\0'));
}

// A file quarantined by a path through a link is recorded by its folder's own path, so the
// restore, which follows no link, finds it again.
TEST_F(QuarantineTest, PathThroughALinkIsRecordedAsTheFoldersOwnPath) {
  const std::string real = Source("x");
  WriteTextFile(real, "content");
  const std::string via = work_.path() + "/docs-link";
  ASSERT_EQ(symlink((work_.path() + "/docs").c_str(), via.c_str()), 0);
  std::string made;
  ASSERT_TRUE(q_.ToQuarantine(via + "/x", "V", &made));
  auto list = q_.List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].source, real);
  ASSERT_TRUE(q_.Restore(made));
  EXPECT_EQ(ReadTextFile(real), "content");
}

// The file moved is the one opened: swapping the source's folder for a link between the open
// and the move leaves the link's target alone.
TEST_F(QuarantineTest, HeldSourceIsMovedFromTheFolderItWasOpenedFrom) {
  const std::string sub = work_.path() + "/docs/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  WriteTextFile(sub + "/x", "infected");
  QuarantineSource source;
  ASSERT_TRUE(OpenQuarantineSource(sub + "/x", false, &source));

  TempDir private_dir;
  const std::string clean = WriteTextFile(private_dir.path() + "/x", "clean", 0600);
  ASSERT_EQ(rename(sub.c_str(), (sub + ".real").c_str()), 0);
  ASSERT_EQ(symlink(private_dir.path().c_str(), sub.c_str()), 0);

  std::string made;
  ASSERT_TRUE(q_.ToQuarantine(sub + "/x", source, "V", &made));
  EXPECT_EQ(ReadTextFile(clean), "clean");
  EXPECT_FALSE(Exists(sub + ".real/x"));
  std::string stored = ReadTextFile(made);
  EXPECT_EQ(stored.size(), stored.find(';') + 1 + 8) << "not the opened file's 8 bytes";

  // A name that no longer refers to the held file is not removed.
  WriteTextFile(sub + ".real/y", "first");
  ASSERT_TRUE(OpenQuarantineSource(sub + ".real/y", false, &source));
  ASSERT_EQ(unlink((sub + ".real/y").c_str()), 0);
  WriteTextFile(sub + ".real/y", "second");
  EXPECT_FALSE(q_.ToQuarantine(sub + ".real/y", source, "V"));
  EXPECT_EQ(ReadTextFile(sub + ".real/y"), "second");
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

  // The folder-id field closes the header and is not part of the note.
  const FolderId id{0xfe01, 0x1234567890abcdef};
  std::string text = MakeQuarantineHeader("/a/b", "Virus|x", id);
  EXPECT_EQ(text, "/a/b|Virus|x|dir:000000000000fe01.1234567890abcdef;");
  ASSERT_TRUE(ParseQuarantineHeader(text + "body", &h));
  EXPECT_EQ(h.note, "Virus|x");
  EXPECT_TRUE(h.has_folder);
  EXPECT_EQ(h.folder, id);
  EXPECT_EQ(h.body_offset, text.size());
  ASSERT_TRUE(ParseQuarantineHeader("/a/b|Virus|dir:12;", &h));
  EXPECT_FALSE(h.has_folder);
  EXPECT_EQ(h.note, "Virus|dir:12");

  // A long note is cut to make room for the field; a path that leaves no room goes without.
  const std::string path = "/" + std::string(200, 'p');
  text = MakeQuarantineHeader(path, std::string(100, 'n'), id);
  EXPECT_EQ(text.size(), kMaxHeaderBytes + 1);
  ASSERT_TRUE(ParseQuarantineHeader(text, &h));
  EXPECT_TRUE(h.has_folder);
  const std::string longest = "/" + std::string(kMaxHeaderBytes - 2, 'p');
  text = MakeQuarantineHeader(longest, "Virus", id);
  ASSERT_TRUE(ParseQuarantineHeader(text, &h));
  EXPECT_EQ(h.path, longest);
  EXPECT_FALSE(h.has_folder);
}

}  // namespace
}  // namespace qxfw::avlib
