// The library's engine exports over the real engine and libclamav: start-up from ".vdb"
// headers, the scan of single files, the report filter and the names a scan leaves.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "avtest_support.h"

namespace qxfw::avtest {
namespace {

TEST(QxavEngine, StartsOnlyWithAUsableDatabase) {
  Qxav& q = Qxav::Load();
  EngineInfo info{-1, -1, -1};
  q.GetEngineInfo(&info);  // before any start: safe and empty
  EXPECT_EQ(info.engineVersion, 0);
  EXPECT_EQ(info.virusRecords, 0);
  char name[QXAV_VIRUS_NAME_SIZE] = "x";
  EXPECT_EQ(q.GetLastVirusName(name), 0);
  EXPECT_STREQ(name, "");

  EngineFolder folder;
  EXPECT_EQ(folder.Start(), 0) << "no .vdb at all";
  // A header cut short, a wrong mark, and a valid header over a broken database.
  std::vector<uint8_t> header = avlib::BuildVdbHeader("ndb", "x", 1, 1, 10);
  folder.File("short.vdb", Bytes(header).substr(0, 60));
  std::string wrongMark = Bytes(header);
  wrongMark[avlib::kVdbMarkOffset] = 'N';
  folder.File("mark.vdb", wrongMark + "0123456789");
  folder.File("truncated.vdb", Bytes(header) + "012");
  folder.File("notvdb.txt", "");
  EXPECT_EQ(folder.Start(), 0);

  folder.WriteTestDatabase();
  ASSERT_EQ(folder.Start(), 1);
  q.GetEngineInfo(&info);
  EXPECT_EQ(info.virusRecords, 5);
  EXPECT_EQ(info.engineVersion, 100);
  EXPECT_EQ(info.platformId, 2);

  // A restart loads the same records again instead of adding them to the old count.
  EXPECT_EQ(q.ShutdownEngine(), 1);
  q.GetEngineInfo(&info);
  EXPECT_EQ(info.virusRecords, 0);
  ASSERT_EQ(folder.Start(), 1);
  q.GetEngineInfo(&info);
  EXPECT_EQ(info.virusRecords, 5);
  ASSERT_EQ(folder.Start(), 1) << "a second start without shutdown";
  q.GetEngineInfo(&info);
  EXPECT_EQ(info.virusRecords, 5);
}

TEST(QxavEngine, ExportsOnlyItsCInterface) {
  Qxav::Load();
  void* handle = dlopen(QXAV_BUILD_DIR "/libqxav.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  EXPECT_NE(dlsym(handle, "FileScan"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN4qxfw5avlib12LibraryState3GetEv"), nullptr);
  EXPECT_EQ(dlsym(handle, "_ZN4qxfw5avlib12CFileScanner3GetEv"), nullptr);
  void* engine = dlopen(QXAV_BUILD_DIR "/libdvengine32.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(engine, nullptr);
  EXPECT_NE(dlsym(engine, "DVENGINE_InitDll"), nullptr);
  EXPECT_EQ(dlsym(engine,
                  "_ZN4qxfw8dvengine11VirusTypeOfERKNSt7__cxx1112basic_stringIcSt11char_"
                  "traitsIcESaIcEEE"),
            nullptr);
  dlclose(engine);
  dlclose(handle);
}

TEST(QxavEngine, SourceFolderGetsExactlyOneSlash) {
  Qxav& q = Qxav::Load();
  EngineFolder folder;
  folder.WriteTestDatabase();
  std::string withSlash = folder.path();
  std::string without = withSlash.substr(0, withSlash.size() - 1);
  for (const std::string& given : {withSlash, without}) {
    q.SetDVSourceDir(given.c_str());
    ASSERT_EQ(q.InitEngine(), 1) << given;
    ScanSettings settings{0, 0, 0, 1, 0};
    q.ModifySettings(&settings);
    std::string zip = folder.File("a.zip", Zip({{"e.com", kEicar}}));
    EXPECT_EQ(q.FileScan(zip.c_str(), 0), 0x1001);
    // The report lands in the folder itself, not in "folder//" or beside it.
    EXPECT_NE(test_support::ReadTextFile(withSlash + "dvtmp.dv"), "");
    q.ShutdownEngine();
  }
}

TEST(QxavEngine, ScansFilesAndHandsOutTheirNamesOnce) {
  Qxav& q = Qxav::Load();
  EngineFolder folder;
  folder.WriteTestDatabase();
  ASSERT_EQ(folder.Start(), 1);
  std::string infected = folder.File("eicar.com", kEicar);
  std::string clean = folder.File("clean.txt", "nothing to see here\n");

  EXPECT_EQ(q.FileScan(clean.c_str(), 0), 0);
  int32_t result = q.FileScan(infected.c_str(), 1);
  EXPECT_EQ(result & QXAV_FLAG_INFECTED, QXAV_FLAG_INFECTED);
  EXPECT_EQ(result & QXAV_FLAG_CONTAINER, 0);

  char object[QXAV_OBJECT_NAME_SIZE];
  char virus[QXAV_VIRUS_NAME_SIZE];
  EXPECT_EQ(q.GetCurObjectName(object), 1);
  EXPECT_EQ(std::string(object), infected);
  EXPECT_EQ(q.GetCurObjectName(object), 1);
  EXPECT_STREQ(object, "");
  EXPECT_EQ(q.GetLastVirusName(virus), QXAV_TYPE_VIRUS);
  EXPECT_STREQ(virus, "Test.EICAR");
  EXPECT_EQ(q.GetLastVirusName(virus), 0);
  EXPECT_STREQ(virus, "");

  EXPECT_EQ(q.FileScan((folder.path() + "missing").c_str(), 0), -1);
  EXPECT_EQ(q.FileScan(nullptr, 0), -1);
  EXPECT_EQ(q.FileScan(folder.path().c_str(), 0), -1) << "a folder is not a file";
}

TEST(QxavEngine, ReportFilterFollowsTheSettingsAndOrigin) {
  Qxav& q = Qxav::Load();
  EngineFolder folder;
  folder.WriteTestDatabase();
  // An MD5 signature (of the file's whole content) named as adware.
  std::string hashed = "MD5-SIGNED-CONTENT\n";
  WriteVdb(
      folder.path() + "hash.vdb", "hdb",
      "d740c576052a3a2c730a9d8f0dc6303c:" + std::to_string(hashed.size()) + ":Test.Adware.Hash\n");
  ASSERT_EQ(folder.Start(), 1);
  std::string adware = folder.File("ad.bin", "xx ADWARE-MARK-0001 xx");
  std::string risk = folder.File("risk.bin", "xx RISKWARE-MARK-0001 xx");
  std::string hack = folder.File("hack.bin", "xx HACKTOOL-MARK-0001 xx");
  std::string origin = folder.File("origin.bin", "xx ORIGIN-MARK-0001 xx");
  std::string md5 = folder.File("md5.bin", hashed);

  ScanSettings off{};
  q.ModifySettings(&off);
  for (const std::string& path : {adware, risk, hack, origin, md5}) {
    EXPECT_EQ(q.FileScan(path.c_str(), 0), 0) << path;
  }
  char virus[QXAV_VIRUS_NAME_SIZE];
  ScanSettings adwareOn{1, 0, 0, 0, 0};
  q.ModifySettings(&adwareOn);
  EXPECT_EQ(q.FileScan(adware.c_str(), 0), 1);
  EXPECT_EQ(q.GetLastVirusName(virus), QXAV_TYPE_ADWARE);
  EXPECT_EQ(q.FileScan(origin.c_str(), 0), 0) << "\".origin\" names are never reported";
  EXPECT_EQ(q.FileScan(risk.c_str(), 0), 0);
  int32_t md5Result = q.FileScan(md5.c_str(), 0);
  EXPECT_EQ(md5Result, 1);
  EXPECT_EQ(q.GetLastVirusName(virus), QXAV_TYPE_ADWARE);
  EXPECT_STREQ(virus, "Test.Adware.Hash");

  ScanSettings others{0, 1, 1, 0, 0};
  q.ModifySettings(&others);
  EXPECT_EQ(q.FileScan(risk.c_str(), 0), 1);
  EXPECT_EQ(q.GetLastVirusName(virus), QXAV_TYPE_RISKWARE);
  EXPECT_EQ(q.FileScan(hack.c_str(), 0), 1);
  EXPECT_EQ(q.GetLastVirusName(virus), QXAV_TYPE_HACKING_TOOL);
  EXPECT_EQ(q.FileScan(adware.c_str(), 0), 0);
}

TEST(QxavEngine, UnknownModesFailWithoutHoldingTheLock) {
  Qxav& q = Qxav::Load();
  EngineFolder folder;
  folder.WriteTestDatabase();
  ASSERT_EQ(folder.Start(), 1);
  std::string infected = folder.File("eicar.com", kEicar);
  EXPECT_EQ(q.FileScan(infected.c_str(), 3), -1);
  EXPECT_EQ(q.FileScan(infected.c_str(), 7), -1);
  EXPECT_EQ(q.FileScan(infected.c_str(), -1), -1);
  // Another thread's scan still gets the lock.
  auto other = std::async(std::launch::async, [&] { return q.FileScan(infected.c_str(), 0); });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(other.get(), 1);
}

TEST(QxavEngine, ScanningWithoutAnEngineFails) {
  Qxav& q = Qxav::Load();
  q.ShutdownEngine();
  EngineFolder folder;
  std::string infected = folder.File("eicar.com", kEicar);
  EXPECT_EQ(q.FileScan(infected.c_str(), 0), -1);
  char object[QXAV_OBJECT_NAME_SIZE];
  EXPECT_EQ(q.GetCurObjectName(nullptr), 0);
  EXPECT_EQ(q.GetCurObjectName(object), 1);
  EXPECT_EQ(q.GetLastVirusName(nullptr), 0);
  EXPECT_EQ(q.ModifySettings(nullptr), 0);
  EXPECT_EQ(q.GetEngineInfo(nullptr), 0);
}

// FileScan's quarantine modes move the file with the last reported virus name as its note.
TEST(QxavEngine, QuarantineModesMoveTheFileWithTheLastVirusName) {
  Qxav& q = Qxav::Load();
  void* handle = dlopen(QXAV_BUILD_DIR "/libqxav.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto define = reinterpret_cast<decltype(&::DefineQuarantine)>(dlsym(handle, "DefineQuarantine"));
  if (define == nullptr) GTEST_SKIP() << "this build has no quarantine";
  EngineFolder folder;
  folder.WriteTestDatabase();
  ASSERT_EQ(folder.Start(), 1);
  test_support::TempDir base;
  ASSERT_EQ(define(base.path().c_str()), 1);
  std::string infected = folder.File("eicar.com", kEicar);
  ASSERT_EQ(q.FileScan(infected.c_str(), 0), 1);
  EXPECT_EQ(q.FileScan(infected.c_str(), 2), 0);
  EXPECT_NE(access(infected.c_str(), F_OK), 0) << "the source is gone";
  std::string quarantine = base.path() + "/quarantine/" + std::to_string(geteuid());
  std::string header;
  if (DIR* dir = opendir(quarantine.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        header = test_support::ReadTextFile(quarantine + "/" + entry->d_name);
      }
    }
    closedir(dir);
  }
  // The note is followed by the folder-id field.
  EXPECT_EQ(header.substr(0, infected.size() + 16), infected + "|Test.EICAR|dir:") << header;
  dlclose(handle);
}

// A "dir" database names a folder of ClamAV databases (the machine's own, normally); it adds
// their records when the folder is there and is skipped when it is not.
TEST(QxavEngine, FolderDatabasesLoadWhenTheFolderExists) {
  Qxav& q = Qxav::Load();
  EngineFolder folder;
  test_support::TempDir clam;
  WriteVdb(folder.path() + "machine.vdb", "dir", clam.path());
  WriteVdb(folder.path() + "gone.vdb", "dir", clam.path() + "/missing");
  EXPECT_EQ(folder.Start(), 0) << "an empty folder has no records";
  test_support::WriteTextFile(
      clam.path() + "/local.ndb",
      "Machine.EICAR:0:*:" + Hex(kEicar) + "\nMachine.Two:0:*:" + Hex("MACHINE-MARK") + "\n");
  ASSERT_EQ(folder.Start(), 1);
  EngineInfo info{};
  q.GetEngineInfo(&info);
  EXPECT_EQ(info.virusRecords, 2);
  std::string infected = folder.File("e.com", kEicar);
  EXPECT_EQ(q.FileScan(infected.c_str(), 0), 1);
  char virus[QXAV_VIRUS_NAME_SIZE];
  q.GetLastVirusName(virus);
  EXPECT_STREQ(virus, "Machine.EICAR");
}

}  // namespace
}  // namespace qxfw::avtest
