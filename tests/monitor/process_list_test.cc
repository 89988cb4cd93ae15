#include "monitor/process_list.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/debug_output.h"
#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

using test_support::TempDir;

constexpr char kEndFailedLine[] = "[QXFW]CProcessList::EndProcess: Failed to teminate process";
// Longer than the kernel's 15-byte command name, with a blank and parentheses in it.
constexpr char kChildName[] = "qx sl)eep (child) long";

// A copy of sleep under an awkward name, started as our child; killed and reaped at the end.
class Child {
 public:
  explicit Child(const std::string& dir) : path_(dir + "/" + kChildName) {
    std::filesystem::copy_file("/bin/sleep", path_);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(path_.c_str(), path_.c_str(), "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Wait until the exec has happened, so /proc shows the new program.
    std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
    for (int i = 0; i < 200; ++i) {
      std::error_code error;
      if (std::filesystem::read_symlink(exe, error) == path_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Reap();
    }
  }
  int Reap() {
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  uint32_t id() const { return static_cast<uint32_t>(pid_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

time_t ToTime(const platform::SYSTEMTIME& st) {
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

bool WalkTo(CProcessList& list, uint32_t id) {
  while (list.MoveNext()) {
    if (list.GetProcessId() == id) return true;
  }
  return false;
}

TEST(ProcessList, FindsAChildWithItsFacts) {
  TempDir dir;
  Child child(dir.path());
  time_t now = std::time(nullptr);
  CProcessList list;
  ASSERT_TRUE(WalkTo(list, child.id()));
  EXPECT_EQ(list.GetProcessName(), kChildName);  // completed past the 15-byte cut
  EXPECT_EQ(list.GetParentProcessId(), static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(list.GetThreadCount(), 1u);
  platform::SYSTEMTIME started = list.GetCreationTime();
  EXPECT_LE(std::abs(std::difftime(ToTime(started), now)), 5.0);
  EXPECT_LT(started.wMilliseconds, 1000);

  EXPECT_EQ(list.PathOf(child.id()), child.path());
  std::optional<std::string> owner = list.OwnerOf(child.id());
  ASSERT_TRUE(owner.has_value());
  passwd* me = ::getpwuid(::getuid());
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(*owner, me->pw_name);
  char host[256] = {};
  ::gethostname(host, sizeof(host) - 1);
  EXPECT_EQ(list.GetOwnerDomain(), std::string(host).substr(0, 63));

  EXPECT_EQ(list.NameOf(child.id()), kChildName);
  EXPECT_EQ(list.GetProcessId(), child.id());  // NameOf leaves the walk on the process
}

TEST(ProcessList, SeesItselfWithAllThreadsAndItsParent) {
  std::mutex mutex;
  std::condition_variable cv;
  bool release = false;
  auto wait = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return release; });
  };
  std::thread a(wait);
  std::thread b(wait);
  CProcessList list;
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  a.join();
  b.join();
  ASSERT_TRUE(WalkTo(list, static_cast<uint32_t>(::getpid())));
  EXPECT_GE(list.GetThreadCount(), 3u);
  EXPECT_EQ(list.GetParentProcessId(), static_cast<uint32_t>(::getppid()));
  EXPECT_EQ(list.PathOf(::getpid()), std::filesystem::read_symlink("/proc/self/exe").string());
  // Process 1 is always there, and the snapshot holds many processes.
  EXPECT_TRUE(list.NameOf(1).has_value());
  EXPECT_GE(list.Count(), 2u);
}

TEST(ProcessList, WalkRestartsAfterItsEndAndAfterAFailedLookup) {
  CProcessList list;
  EXPECT_EQ(list.GetProcessId(), 0u);  // no walk under way yet
  EXPECT_TRUE(list.GetProcessName().empty());
  ASSERT_TRUE(list.MoveNext());
  uint32_t first = list.GetProcessId();
  size_t count = 1;
  while (list.MoveNext()) ++count;
  EXPECT_EQ(count, list.Count());
  EXPECT_EQ(list.GetProcessId(), 0u);
  ASSERT_TRUE(list.MoveNext());
  EXPECT_EQ(list.GetProcessId(), first);

  EXPECT_FALSE(list.NameOf(0xFFFFFFF0u).has_value());
  ASSERT_TRUE(list.MoveNext());
  EXPECT_EQ(list.GetProcessId(), first);
}

TEST(ProcessList, EndProcessKillsAndRefusesWhatItMustNot) {
  TempDir dir;
  Child child(dir.path());
  uint32_t id = child.id();
  platform::ScopedDebugCapture capture;
  EXPECT_TRUE(CProcessList::EndProcess(id));
  int status = child.Reap();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  // Gone, or ids kill(2) would read as "my group" or "everyone": refused without a line.
  EXPECT_FALSE(CProcessList::EndProcess(id));
  EXPECT_FALSE(CProcessList::EndProcess(0));
  EXPECT_FALSE(CProcessList::EndProcess(0xFFFFFFFFu));
  EXPECT_TRUE(capture.Lines().empty());
}

TEST(ProcessList, EndProcessWithoutTheRightWritesTheDebugLine) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // As a plain user, process 1 may not be signalled.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    platform::ScopedDebugCapture capture;
    bool ended = CProcessList::EndProcess(1);
    ::_exit(!ended && capture.Contains(kEndFailedLine) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessList, VanishedProcessGivesEmptyAnswersOrTheImageCache) {
  TempDir dir;
  uint32_t id;
  CProcessList* list;
  {
    Child child(dir.path());
    id = child.id();
    list = new CProcessList;
  }  // killed and reaped: the snapshot outlives the process
  std::unique_ptr<CProcessList> owned(list);
  EXPECT_EQ(owned->NameOf(id), kChildName);  // the snapshot does not change
  EXPECT_EQ(owned->PathOf(id), "");
  EXPECT_FALSE(owned->OwnerOf(id).has_value());

  CProcessList::SetImagePathLookup(
      [id](uint32_t asked) { return asked == id ? std::string("/opt/cached/prog") : ""; });
  EXPECT_EQ(owned->PathOf(id), "/opt/cached/prog");
  EXPECT_EQ(owned->PathOf(::getpid()),
            std::filesystem::read_symlink("/proc/self/exe").string());  // /proc still first
  CProcessList::SetImagePathLookup(nullptr);
  EXPECT_EQ(owned->PathOf(id), "");
}

// The kernel's link still names the deleted file, but nothing at that path is what runs.
TEST(ProcessList, DeletedExecutableKeepsItsPathButNotTrust) {
  TempDir dir;
  Child child(dir.path());
  std::filesystem::remove(child.path());
  CProcessList list;
  EXPECT_EQ(list.ProgramOf(child.id()).path, child.path());
  EXPECT_FALSE(list.ProgramOf(child.id()).trusted);
  EXPECT_EQ(list.PathOf(child.id()), "");
  EXPECT_EQ(list.NameOf(child.id()), kChildName);
}

// A proc tree of the test's own, for lines the real system rarely shows.
TEST(ProcessList, ParsesAwkwardAndDamagedStatLines) {
  TempDir proc;
  auto put = [&](const std::string& id, const std::string& stat) {
    std::filesystem::create_directories(proc.path() + "/" + id);
    std::ofstream(proc.path() + "/" + id + "/stat") << stat;
  };
  // 20 fields after the name: state, ppid, then 15 others, num_threads, itrealvalue,
  // starttime.
  std::string tail = " 0 0 0 0 0 0 0 0 0 0 0 0 0 20 -5 7 0 ";
  put("123", "123 (a) b (c) S 77" + tail + "100 more fields\n");
  put("124", "124 (fifteen-chars-x) S 2" + tail + "0\n");  // cut name, nothing to complete it
  put("456", "456 (short) S 1 0 0\n");                     // cut short
  put("457", "457 no parenthesis S 1" + tail + "0\n");
  put("99999999999", "99999999999 (big) S 1" + tail + "0\n");
  std::filesystem::create_directories(proc.path() + "/self");

  CProcessList list(proc.path());
  EXPECT_EQ(list.Count(), 2u);
  ASSERT_EQ(list.NameOf(123), "a) b (c");
  EXPECT_EQ(list.GetParentProcessId(), 77u);
  EXPECT_EQ(list.GetThreadCount(), 7u);
  EXPECT_EQ(list.NameOf(124), "fifteen-chars-x");
  EXPECT_FALSE(list.NameOf(456).has_value());
}

}  // namespace
}  // namespace qxfw::monitor

namespace qxfw::monitor {
namespace {

// A set-user-id program runs as its effective user; that is the owner shown.
TEST(ProcessList, OwnerIsTheEffectiveUser) {
  TempDir proc;
  std::filesystem::create_directories(proc.path() + "/321");
  std::ofstream(proc.path() + "/321/status")
      << "Name:\tsetuid\nPid:\t321\nUid:\t0\t65534\t0\t0\nGid:\t0\t0\t0\t0\n";
  CProcessList list(proc.path());
  passwd* nobody = ::getpwuid(65534);
  EXPECT_EQ(list.OwnerOf(321), nobody != nullptr ? std::string(nobody->pw_name) : "65534");
}

}  // namespace
}  // namespace qxfw::monitor
