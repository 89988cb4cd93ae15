#include "platform/signature_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/fake_dpkg.h"
#include "platform/file.h"
#include "platform/package_db.h"

namespace qxfw::platform {
namespace {

using test_support::FakeDpkg;
using test_support::TempDir;
using test_support::WriteFile;

constexpr char kHelloMd5[] = "b1946ac92492d2347c6235b4d2611184";  // "hello\n"

bool SystemHasCoreutils() {
  PackageDb db("/var/lib/dpkg");
  return db.Available() && db.RecordOf("coreutils").has_value();
}

TEST(SignatureServiceSystem, PackagedProgramsAreSignedAndCopiesAreNot) {
  if (!SystemHasCoreutils()) GTEST_SKIP() << "no dpkg database with coreutils on this machine";
  ASSERT_TRUE(LoadSignatureService());
  EXPECT_TRUE(IsSigned("/usr/bin/ls"));
  EXPECT_TRUE(IsSigned("/bin/ls"));      // the same file through the usr-merge alias
  EXPECT_TRUE(IsSigned("/usr/bin/ls"));  // and again from the cache

  TempDir dir;
  std::string copy = dir.path() + "/ls";
  std::filesystem::copy_file("/usr/bin/ls", copy);
  EXPECT_FALSE(IsSigned(copy));
  EXPECT_FALSE(IsSigned(""));
  EXPECT_FALSE(IsSigned("ls"));
  EXPECT_FALSE(IsSigned("/usr/bin"));
  EXPECT_FALSE(IsSigned("/usr/bin/no-such-program-qxfw"));
}

TEST(SignatureServiceSystem, PackageDatabaseAnswersForRealFiles) {
  if (!SystemHasCoreutils()) GTEST_SKIP() << "no dpkg database with coreutils on this machine";
  PackageDb db("/var/lib/dpkg");
  EXPECT_EQ(db.OwnerOf("/usr/bin/ls"), "coreutils");
  EXPECT_EQ(db.OwnerOf("/bin/ls"), "coreutils");
  std::optional<std::string> md5 = db.RecordedMd5("/usr/bin/ls");
  ASSERT_TRUE(md5.has_value());
  EXPECT_EQ(md5->size(), 32u);
  EXPECT_FALSE(db.OwnerOf("/usr/bin/no-such-program-qxfw").has_value());
  std::optional<PackageRecord> record = db.RecordOf("coreutils");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->package, "coreutils");
  EXPECT_FALSE(record->version.empty());
  EXPECT_NE(record->maintainer.find('@'), std::string::npos);
  EXPECT_EQ(record->description.find('\n'), std::string::npos);
}

class SignatureServiceFake : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = files_.path() + "/prog";
    WriteFile(program_, "hello\n");
  }

  FakeDpkg dpkg_;
  TempDir files_;
  std::string program_;
};

TEST_F(SignatureServiceFake, MatchingChecksumSignsAndAChangedFileIsCheckedAgain) {
  dpkg_.AddPackage("qxprog", {{files_.path(), ""}, {program_, kHelloMd5}});
  PackageDb db(dpkg_.path());
  SignatureService service(&db);
  ASSERT_TRUE(service.Available());
  // Let the file's times settle so that its answer is cached.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(service.IsSigned(program_));
  EXPECT_TRUE(service.IsSigned(program_));

  // Same size, other content: the cached answer must not survive the change.
  WriteFile(program_, "jello\n");
  EXPECT_FALSE(service.IsSigned(program_));
  WriteFile(program_, "hello\n");
  EXPECT_TRUE(service.IsSigned(program_));

  // A directory the package lists is not a signed program.
  EXPECT_FALSE(service.IsSigned(files_.path()));
}

TEST_F(SignatureServiceFake, OnlyInstalledPackagesWithValidRecordsCount) {
  std::string other = files_.path() + "/other";
  std::string bare = files_.path() + "/bare";
  WriteFile(other, "hello\n");
  WriteFile(bare, "hello\n");
  dpkg_.AddPackage("gone", {{program_, kHelloMd5}}, "deinstall ok config-files");
  dpkg_.AddPackage("nosum", {{bare, ""}});
  dpkg_.AddPackage("libq:amd64", {{other, kHelloMd5}});
  // Damaged lines before a good one are skipped, not fatal.
  dpkg_.Append("info/nosum.md5sums", "xyz  " + bare.substr(1) + "\nshort\n");
  PackageDb db(dpkg_.path());
  SignatureService service(&db);

  EXPECT_FALSE(db.OwnerOf(program_).has_value());
  EXPECT_FALSE(service.IsSigned(program_));
  EXPECT_EQ(db.OwnerOf(bare), "nosum");
  EXPECT_FALSE(service.IsSigned(bare));
  EXPECT_EQ(db.OwnerOf(other), "libq:amd64");
  EXPECT_TRUE(service.IsSigned(other));
  std::optional<PackageRecord> record = db.RecordOf("libq:amd64");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->package, "libq");
  EXPECT_EQ(record->version, "1.2-3");
  EXPECT_EQ(record->maintainer, "Test Keeper <keeper@example.org>");
  EXPECT_EQ(record->description, "test package");
  EXPECT_FALSE(db.RecordOf("gone").has_value());
}

TEST_F(SignatureServiceFake, LinkToAPackagedFileIsSigned) {
  dpkg_.AddPackage("qxprog", {{program_, kHelloMd5}});
  std::string link = files_.path() + "/link";
  ASSERT_EQ(::symlink(program_.c_str(), link.c_str()), 0);
  PackageDb db(dpkg_.path());
  SignatureService service(&db);
  EXPECT_TRUE(service.IsSigned(link));
}

TEST_F(SignatureServiceFake, WithoutStatusFileTheServiceIsUnavailable) {
  dpkg_.AddPackage("qxprog", {{program_, kHelloMd5}});
  std::filesystem::remove(dpkg_.path() + "/status");
  PackageDb db(dpkg_.path());
  SignatureService service(&db);
  EXPECT_FALSE(service.Available());
  EXPECT_FALSE(service.IsSigned(program_));
}

TEST_F(SignatureServiceFake, PackageInstalledLaterIsNoticed) {
  PackageDb db(dpkg_.path());
  SignatureService service(&db);
  EXPECT_FALSE(service.IsSigned(program_));
  uint64_t before = db.Refresh();
  dpkg_.AddPackage("qxprog", {{program_, kHelloMd5}});
  EXPECT_GT(db.Refresh(), before);
  // The service looks at the database at most once a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(service.IsSigned(program_));
}

TEST_F(SignatureServiceFake, ConcurrentCallersAgree) {
  dpkg_.AddPackage("qxprog", {{program_, kHelloMd5}});
  std::string copy = files_.path() + "/copy";
  WriteFile(copy, "jello\n");
  PackageDb db(dpkg_.path());
  SignatureService service(&db);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        if (!service.IsSigned(program_) || service.IsSigned(copy)) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(PackageDb, UsrMergeAliasesFollowTheSystem) {
  PackageDb db("/nonexistent");
  struct stat st {};
  bool merged = ::lstat("/bin", &st) == 0 && S_ISLNK(st.st_mode);
  EXPECT_EQ(db.CanonicalPath("/bin/ls"), merged ? "/usr/bin/ls" : "/bin/ls");
  EXPECT_EQ(db.CanonicalPath("/binary/x"), "/binary/x");
  EXPECT_EQ(db.CanonicalPath("/usr/bin/ls"), "/usr/bin/ls");
  EXPECT_FALSE(db.Available());
  EXPECT_FALSE(db.OwnerOf("/usr/bin/ls").has_value());
}

// The index kept between runs answers like the one built from the file lists, and only for
// the database state it was written for.
TEST_F(SignatureServiceFake, KeptIndexAnswersOnlyForTheDatabaseItWasWrittenFor) {
  std::string other = files_.path() + "/other";
  WriteFile(other, "hello\n");
  dpkg_.AddPackage("qxprog", {{program_, kHelloMd5}});
  dpkg_.AddPackage("gone", {{other, kHelloMd5}}, "deinstall ok config-files");
  TempDir cache;
  const std::string kept = cache.path() + "/owners";
  {
    PackageDb db(dpkg_.path());
    db.KeepIndexIn(kept);
    EXPECT_EQ(db.OwnerOf(program_), "qxprog");  // builds the index and keeps it
  }
  std::string text;
  ASSERT_TRUE(ReadWholeFile(kept, &text));
  EXPECT_NE(text.find(program_ + "\tqxprog\n"), std::string::npos);
  EXPECT_EQ(text.find(other), std::string::npos);  // a removed package owns nothing

  // A new process answers from the kept file, not from the file lists: emptied (which leaves
  // the folder's time as it was), they would say nothing.
  const std::string list = dpkg_.path() + "/info/qxprog.list";
  std::string listText;
  ASSERT_TRUE(ReadWholeFile(list, &listText));
  WriteFile(list, "");
  {
    PackageDb db(dpkg_.path());
    db.KeepIndexIn(kept);
    EXPECT_EQ(db.OwnerOf(program_), "qxprog");
    EXPECT_EQ(db.RecordedMd5(program_), kHelloMd5);
    EXPECT_FALSE(db.OwnerOf(other).has_value());
    EXPECT_FALSE(db.OwnerOf("/").has_value());
    EXPECT_FALSE(db.OwnerOf(program_ + "x").has_value());
  }
  {
    PackageDb db(dpkg_.path());  // without the kept index it reads the (empty) lists
    EXPECT_FALSE(db.OwnerOf(program_).has_value());
  }
  WriteFile(list, listText);

  // dpkg changes its status file: the kept index is stale and rebuilt.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  dpkg_.AddPackage("newer", {{other, kHelloMd5}});
  {
    PackageDb db(dpkg_.path());
    db.KeepIndexIn(kept);
    EXPECT_EQ(db.OwnerOf(other), "newer");
  }
  // A damaged kept file is not believed.
  WriteFile(kept, "qxfw-dpkg-owners 1 nonsense\n" + program_ + "\tevil\n");
  PackageDb db(dpkg_.path());
  db.KeepIndexIn(kept);
  EXPECT_EQ(db.OwnerOf(program_), "qxprog");
}

TEST_F(SignatureServiceFake, KeptResultsAreUsedOnlyWhileTheFileIsUnchanged) {
  dpkg_.AddPackage("qxprog", {{program_, kHelloMd5}});
  TempDir cache;
  const std::string results = cache.path() + "/signatures";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // settled, so it is kept
  {
    PackageDb db(dpkg_.path());
    SignatureService service(&db);
    EXPECT_TRUE(service.IsSigned(program_));
    ASSERT_TRUE(service.SaveResults(results));
  }
  // Trust the kept answer without the checksum file: it is not read again.
  std::string md5s = dpkg_.path() + "/info/qxprog.md5sums";
  std::string sums;
  ASSERT_TRUE(ReadWholeFile(md5s, &sums));
  {
    WriteFile(md5s, "");
    PackageDb db(dpkg_.path());
    SignatureService service(&db);
    ASSERT_TRUE(service.LoadResults(results));
    EXPECT_TRUE(service.IsSigned(program_));
    // The file changes: the kept answer no longer applies and the (now empty) record decides.
    WriteFile(program_, "jello\n");
    EXPECT_FALSE(service.IsSigned(program_));
  }
  WriteFile(md5s, sums);
  // Damaged or foreign files load nothing.
  PackageDb db(dpkg_.path());
  SignatureService service(&db);
  for (const char* bad : {"", "qxfw-signatures 1 x\n", "garbage\n1 2 3 4 5 1 /p\n"}) {
    WriteFile(results, bad);
    EXPECT_FALSE(service.LoadResults(results)) << bad;
  }
}

}  // namespace
}  // namespace qxfw::platform
