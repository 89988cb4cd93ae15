// The files behind the home page: the last scan record (written whole, read with every field
// checked), the antivirus folder's facts, the worker that gathers them and tries the filter
// device, and the background command that starts the filter.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "avlib/vdb_header.h"
#include "firewall/device.h"
#include "firewall/device_protocol.h"
#include "shell/antivirus_facts.h"
#include "shell/command_runner.h"
#include "shell/last_scan.h"
#include "shell/status_worker.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

using namespace std::chrono_literals;
using test_support::TempDir;
using test_support::WriteTextFile;

TEST(LastScan, WrittenWholeAndReadBack) {
  TempDir dir;
  const std::string path = dir.path() + "/LastScan.ini";
  EXPECT_FALSE(ReadLastScan(path).has_value());
  LastScanRecord record{1765370520, 1200, 3, 7};
  ASSERT_TRUE(WriteLastScan(path, record));
  EXPECT_EQ(ReadLastScan(path), record);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Replaced, not appended to; nothing is left beside it.
  ASSERT_TRUE(WriteLastScan(path, LastScanRecord{5, 1, 0, 0}));
  EXPECT_EQ(ReadLastScan(path), (LastScanRecord{5, 1, 0, 0}));
  size_t files = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u);
  // A folder that is not there: the write fails and says so.
  EXPECT_FALSE(WriteLastScan(dir.path() + "/missing/LastScan.ini", record));
  EXPECT_FALSE(WriteLastScan(path, LastScanRecord{-1, 0, 0, 0}));
}

TEST(LastScan, DamagedRecordsReadAsNone) {
  TempDir dir;
  const std::string path = dir.path() + "/LastScan.ini";
  const std::string good = "[LastScan]\nFinished=10\nScanned=2\nInfected=0\nErrors=1\n";
  WriteTextFile(path, good);
  ASSERT_TRUE(ReadLastScan(path).has_value());
  for (const std::string& bad : {
           std::string(""), std::string("[Other]\nFinished=10\nScanned=2\nInfected=0\nErrors=1\n"),
           good.substr(0, good.size() - 1),                                  // cut in its last line
           std::string("[LastScan]\nFinished=10\nScanned=2\nInfected=0\n"),  // a field missing
           std::string("[LastScan]\nFinished=10\nScanned=2\nScanned=3\nErrors=1\n"),
           std::string("[LastScan]\nFinished=-10\nScanned=2\nInfected=0\nErrors=1\n"),
           std::string("[LastScan]\nFinished=1 0\nScanned=2\nInfected=0\nErrors=1\n"),
           std::string(
               "[LastScan]\nFinished=99999999999999999999\nScanned=2\nInfected=0\nErrors=1\n"),
           std::string(
               "[LastScan]\nFinished=9223372036854775808\nScanned=2\nInfected=0\nErrors=1\n"),
           std::string("[LastScan]\nno equal sign\nFinished=10\nScanned=2\nInfected=0\nErrors=1\n"),
           good + std::string(2000, '#') + "\n",  // larger than any record
       }) {
    WriteTextFile(path, bad);
    EXPECT_FALSE(ReadLastScan(path).has_value()) << bad;
  }
  // A field a later writer adds is passed over.
  WriteTextFile(path, "[LastScan]\nFinished=10\nPaths=/home\nScanned=2\nInfected=0\nErrors=1\n");
  EXPECT_EQ(ReadLastScan(path), (LastScanRecord{10, 2, 0, 1}));
}

void WriteVdb(const std::string& path, const std::string& type, const std::string& payload,
              uint16_t version) {
  std::vector<uint8_t> bytes =
      avlib::BuildVdbHeader(type, "test", version, 1, static_cast<uint32_t>(payload.size()));
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void SetModified(const std::string& path, time_t when) {
  struct utimbuf times {
    when, when
  };
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

TEST(AntiVirusFacts, InstalledPartsVersionAndNewestSignatures) {
  TempDir dir;
  const std::string av = dir.path();
  EXPECT_EQ(GatherAntiVirusFacts(av), AntiVirusFacts{});
  EXPECT_EQ(GatherAntiVirusFacts(av + "/missing"), AntiVirusFacts{});
  WriteTextFile(av + "/libqxav.so", "x");
  WriteTextFile(av + "/libdvengine32.so", "x");
  WriteVdb(av + "/own.vdb", "ndb", "Test:0:*:414243\n", 3);
  WriteVdb(av + "/other.vdb", "hdb", "", 5);
  WriteTextFile(av + "/broken.vdb", "not a database");
  SetModified(av + "/own.vdb", 1000000);
  SetModified(av + "/other.vdb", 2000000);
  AntiVirusFacts facts = GatherAntiVirusFacts(av);
  EXPECT_TRUE(facts.library);
  EXPECT_TRUE(facts.engine);
  EXPECT_EQ(facts.databases, 2u);
  EXPECT_EQ(facts.version, "5") << "the highest database version without an update record";
  EXPECT_EQ(facts.date, 2000000);

  // The versions the last update recorded win.
  WriteTextFile(av + "/dvupdate.ini", "[VISION]\nHigh_Word=2026\nLow_Word=1210\n");
  EXPECT_EQ(GatherAntiVirusFacts(av).version, "2026.1210");

  // A database that names a folder of databases dates from that folder's newest file.
  const std::string clam = av + "/clamav";
  ASSERT_EQ(mkdir(clam.c_str(), 0755), 0);
  WriteTextFile(clam + "/daily.cld", "x");
  WriteTextFile(clam + "/main.cvd", "x");
  SetModified(clam + "/daily.cld", 3000000);
  SetModified(clam + "/main.cvd", 1500000);
  WriteVdb(av + "/clamav.vdb", "dir", clam, 1);
  SetModified(av + "/clamav.vdb", 100);
  facts = GatherAntiVirusFacts(av);
  EXPECT_EQ(facts.databases, 3u);
  EXPECT_EQ(facts.date, 3000000);
  // A folder pointer with a relative path counts as the file itself.
  WriteVdb(av + "/clamav.vdb", "dir", "clamav", 1);
  SetModified(av + "/clamav.vdb", 100);
  EXPECT_EQ(GatherAntiVirusFacts(av).date, 2000000);
}

// A device that is only there to be handed on.
class NullDevice : public firewall::CDevice {
 public:
  uint32_t Call(uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t* got) override {
    *got = 0;
    return firewall::ERROR_NO_DATA;
  }
};

class Rounds {
 public:
  void Add(std::shared_ptr<CStatusWorker::Round> round) {
    std::lock_guard<std::mutex> lock(mutex_);
    rounds_.push_back(std::move(round));
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_.size();
  }
  std::shared_ptr<CStatusWorker::Round> At(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_.at(i);
  }
  bool AwaitCount(size_t n, std::chrono::milliseconds limit = 3000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (Count() < n && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(2ms);
    return Count() >= n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<CStatusWorker::Round>> rounds_;
};

TEST(StatusWorker, HandsOnChangesAndTheOpenedDevice) {
  TempDir dir;
  Rounds rounds;
  std::atomic<uint32_t> status{firewall::ERROR_FILE_NOT_FOUND};
  std::atomic<int> opens{0};
  CStatusWorker::Options options;
  options.antivirusFolder = dir.path();
  options.lastScanPath = dir.path() + "/LastScan.ini";
  options.period = 20ms;
  options.open = [&](uint32_t* s) -> std::unique_ptr<firewall::CDevice> {
    ++opens;
    *s = status;
    if (status == 0) return std::make_unique<NullDevice>();
    return nullptr;
  };
  CStatusWorker worker(options, [&](auto round) { rounds.Add(std::move(round)); });
  // The first round is always handed on; unchanged rounds are not.
  ASSERT_TRUE(rounds.AwaitCount(1));
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(rounds.Count(), 1u);
  EXPECT_FALSE(rounds.At(0)->probed);
  EXPECT_EQ(opens, 0) << "no probe was asked for";

  // A scan's end reaches the sink within a round.
  ASSERT_TRUE(WriteLastScan(options.lastScanPath, LastScanRecord{7, 1, 0, 0}));
  ASSERT_TRUE(rounds.AwaitCount(2));
  EXPECT_EQ(rounds.At(1)->lastScan, (LastScanRecord{7, 1, 0, 0}));

  // Probing: the status is handed on once, then again when it changes.
  worker.SetProbe(true);
  ASSERT_TRUE(rounds.AwaitCount(3));
  EXPECT_TRUE(rounds.At(2)->probed);
  EXPECT_EQ(rounds.At(2)->openStatus, firewall::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(rounds.At(2)->device, nullptr);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rounds.Count(), 3u);
  EXPECT_GT(opens, 2) << "each round tries the device";
  status = firewall::ERROR_SHARING_VIOLATION;
  ASSERT_TRUE(rounds.AwaitCount(4));
  EXPECT_EQ(rounds.At(3)->openStatus, firewall::ERROR_SHARING_VIOLATION);
  status = 0;
  ASSERT_TRUE(rounds.AwaitCount(5));
  EXPECT_EQ(rounds.At(4)->openStatus, 0u);
  EXPECT_NE(rounds.At(4)->device, nullptr);

  // Without a probe the device is left alone.
  worker.SetProbe(false);
  std::this_thread::sleep_for(60ms);
  int before = opens;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(opens, before);
  // A probe asked for anew is answered, even with the status seen before.
  size_t count = rounds.Count();
  status = firewall::ERROR_FILE_NOT_FOUND;
  worker.SetProbe(true);
  ASSERT_TRUE(rounds.AwaitCount(count + 1));
  EXPECT_EQ(rounds.At(count)->openStatus, firewall::ERROR_FILE_NOT_FOUND);
}

TEST(StatusWorker, WakeRunsARoundAtOnce) {
  TempDir dir;
  Rounds rounds;
  CStatusWorker::Options options;
  options.antivirusFolder = dir.path();
  options.lastScanPath = dir.path() + "/LastScan.ini";
  options.period = std::chrono::hours(1);
  CStatusWorker worker(options, [&](auto round) { rounds.Add(std::move(round)); });
  ASSERT_TRUE(rounds.AwaitCount(1));
  WriteTextFile(dir.path() + "/libqxav.so", "x");
  auto start = std::chrono::steady_clock::now();
  worker.Wake();
  ASSERT_TRUE(rounds.AwaitCount(2, 1000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_TRUE(rounds.At(1)->antivirus.library);
}

TEST(BackgroundCommand, RunsOneAtATimeAndNeverMakesItsOwnerWait) {
  std::atomic<bool> release{false};
  std::atomic<int> result{-1};
  auto command = std::make_unique<CBackgroundCommand>();
  EXPECT_TRUE(command->Start(
      [&] {
        while (!release) std::this_thread::sleep_for(1ms);
        return 7;
      },
      [&](int r) { result = r; }));
  EXPECT_TRUE(command->Running());
  EXPECT_FALSE(command->Start([] { return 0; }, nullptr)) << "one runs already";
  release = true;
  for (int i = 0; i < 2000 && result == -1; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(result, 7);
  for (int i = 0; i < 2000 && command->Running(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(command->Running());

  // The owner goes while its command runs: it does not wait, and the report is dropped.
  release = false;
  result = -1;
  auto shared = std::make_shared<std::atomic<bool>>(false);
  EXPECT_TRUE(command->Start(
      [&release, shared] {
        while (!release) std::this_thread::sleep_for(1ms);
        *shared = true;
        return 1;
      },
      [&](int r) { result = r; }));
  auto start = std::chrono::steady_clock::now();
  command.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  release = true;
  for (int i = 0; i < 2000 && !*shared; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(result, -1);
}

TEST(RunCommandAndWait, WaitsForTheCommandAndReportsStartErrors) {
  TempDir dir;
  const std::string mark = dir.path() + "/ran";
  EXPECT_EQ(RunCommandAndWait({"sh", "-c", "sleep 0.2; echo done > " + mark}), 0);
  EXPECT_EQ(test_support::ReadTextFile(mark), "done\n") << "it was waited for";
  EXPECT_EQ(RunCommandAndWait({"false"}), 0) << "an exit status is no start error";
  EXPECT_EQ(RunCommandAndWait({dir.path() + "/missing"}), ENOENT);
  EXPECT_EQ(RunCommandAndWait({}), EINVAL);
}

}  // namespace
}  // namespace qxfw::shell
