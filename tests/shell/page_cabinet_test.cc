// The page cabinet: extraction from memory, file times, refused member names, the fallback.
#include "shell/page_cabinet.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/file.h"
#include "test_support/temp_dir.h"

namespace qxfw::shell {
namespace {

namespace fs = std::filesystem;

// Packs files (relative names under src) with gcab, as the build does.
std::string MakeCabinet(const std::string& src, const std::string& names) {
  std::string cab = src + "/../test.cab";
  std::string command = "cd '" + src + "' && gcab -cz '" + cab + "' " + names + " >/dev/null";
  if (std::system(command.c_str()) != 0) return "";
  std::string bytes;
  platform::ReadWholeFile(cab, &bytes);
  return bytes;
}

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

TEST(PageCabinet, ExtractsFromMemoryWithFoldersAndTimes) {
  test_support::TempDir dir;
  WriteText(dir.path() + "/src/en/home.html", "<html>home</html>");
  WriteText(dir.path() + "/src/kr/image/logo.svg", "<svg/>");
  // A known time, so the extracted file's time can be compared (DOS times have 2 s steps).
  std::string when = "touch -d '2020-05-06 07:08:10' '" + dir.path() + "/src/en/home.html'";
  ASSERT_EQ(std::system(when.c_str()), 0);
  std::string cab = MakeCabinet(dir.path() + "/src", "en/home.html kr/image/logo.svg");
  ASSERT_FALSE(cab.empty());

  std::string out = dir.path() + "/out/";
  fs::create_directories(out);
  ASSERT_TRUE(CPageCabinet::Extract(cab.data(), cab.size(), out));
  std::string text;
  ASSERT_TRUE(platform::ReadWholeFile(out + "en/home.html", &text));
  EXPECT_EQ(text, "<html>home</html>");
  ASSERT_TRUE(platform::ReadWholeFile(out + "kr/image/logo.svg", &text));
  EXPECT_EQ(text, "<svg/>");
  struct stat st {};
  ASSERT_EQ(::stat((out + "en/home.html").c_str(), &st), 0);
  std::tm tm{};
  localtime_r(&st.st_mtime, &tm);
  EXPECT_EQ(tm.tm_year + 1900, 2020);
  EXPECT_EQ(tm.tm_mon + 1, 5);
  EXPECT_EQ(tm.tm_mday, 6);
  EXPECT_EQ(tm.tm_hour, 7);
  EXPECT_EQ(tm.tm_min, 8);
  EXPECT_EQ(tm.tm_sec, 10);
  // A second extraction over the first replaces the files.
  EXPECT_TRUE(CPageCabinet::Extract(cab.data(), cab.size(), out));
}

TEST(PageCabinet, RefusesUnsafeNamesAndDamage) {
  EXPECT_EQ(CPageCabinet::SafeMemberPath("en\\image\\a.svg"), "en/image/a.svg");
  EXPECT_EQ(CPageCabinet::SafeMemberPath("\\etc\\passwd"), "");
  EXPECT_EQ(CPageCabinet::SafeMemberPath("/etc/passwd"), "");
  EXPECT_EQ(CPageCabinet::SafeMemberPath("C:\\x"), "");
  EXPECT_EQ(CPageCabinet::SafeMemberPath("en\\..\\..\\x"), "");
  EXPECT_EQ(CPageCabinet::SafeMemberPath(".."), "");
  EXPECT_EQ(CPageCabinet::SafeMemberPath("en\\"), "");
  EXPECT_EQ(CPageCabinet::SafeMemberPath("a..b"), "a..b");

  test_support::TempDir dir;
  WriteText(dir.path() + "/src/a.txt", "a");
  std::string cab = MakeCabinet(dir.path() + "/src", "a.txt");
  ASSERT_FALSE(cab.empty());
  // Rename the member inside the cabinet to "..\b.txt" (same length as "a.txt" + 3: rebuild).
  size_t at = cab.find("a.txt");
  ASSERT_NE(at, std::string::npos);
  std::string planted = cab;
  planted.replace(at, 5, "/tmpx");
  std::string out = dir.path() + "/out/";
  fs::create_directories(out);
  EXPECT_FALSE(CPageCabinet::Extract(planted.data(), planted.size(), out));
  EXPECT_FALSE(fs::exists("/tmpx"));
  // Not a cabinet, or cut short.
  EXPECT_FALSE(CPageCabinet::Extract("garbage", 7, out));
  EXPECT_FALSE(CPageCabinet::Extract(cab.data(), cab.size() / 2, out));
}

TEST(PageCabinet, FallsBackToAPrivateTemporaryFolder) {
  test_support::TempDir dir;
  WriteText(dir.path() + "/src/en/home.html", "x");
  std::string cab = MakeCabinet(dir.path() + "/src", "en/home.html");
  ASSERT_FALSE(cab.empty());
  test_support::ScopedEnv tmp("TMPDIR", dir.path());
  // The preferred folder is a file: extraction there fails.
  WriteText(dir.path() + "/blocked", "");
  std::string folder = ExtractCabs(cab.data(), cab.size(), dir.path() + "/blocked");
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.rfind(dir.path() + "/qxfw-pages-", 0), 0u) << folder;
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(fs::exists(folder + "en/home.html"));
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Two starts never share the folder.
  EXPECT_NE(ExtractCabs(cab.data(), cab.size(), dir.path() + "/blocked"), folder);
}

}  // namespace
}  // namespace qxfw::shell
