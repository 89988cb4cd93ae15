#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/debug_output.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "test_support/temp_dir.h"

namespace qxfw::platform {
namespace {

using test_support::TempDir;

class IniFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.path() + "/test.ini"; }
  void Write(const std::string& text) { std::ofstream(Path(), std::ios::binary) << text; }
  std::string Read() const {
    std::string text;
    ReadWholeFile(Path(), &text);
    return text;
  }
  int FilesInFolder() const {
    int count = 0;
    DIR* dir = opendir(dir_.path().c_str());
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
  }

  TempDir dir_;
};

TEST_F(IniFileTest, LookupsIgnoreCaseAndBlanksAndFirstMatchWins) {
  Write(
      "top=ignored\n"
      "; [Fake] a comment is not a section\n"
      "  [ Main Window ]  \r\n"
      "  Left =  120  \n"
      "left=999\n"
      "Name = \"quoted value\"\n"
      "[main window]\n"
      "Top=5\n");
  IniFile ini(Path());
  EXPECT_EQ(ini.GetInt("MAIN WINDOW", "LEFT", 1), 120);
  EXPECT_EQ(ini.GetString("Main Window", "name", "x"), "quoted value");
  // Only the first matching section is searched.
  EXPECT_EQ(ini.GetInt("Main Window", "Top", 77), 77);
  EXPECT_EQ(ini.GetInt("Fake", "x", 3), 3);
  EXPECT_EQ(ini.GetString("", "top", "none"), "none");
  EXPECT_EQ(IniFile(dir_.path() + "/missing.ini").GetInt("Main Window", "Left", 100), 100);

  char small[6];
  EXPECT_EQ(ini.GetString("Main Window", "Name", "d", small, sizeof(small)), 5u);
  EXPECT_STREQ(small, "quote");
  EXPECT_EQ(ini.GetString("Main Window", "Other", "dflt", small, sizeof(small)), 4u);
  EXPECT_STREQ(small, "dflt");
  EXPECT_EQ(ini.GetSectionNames(), (std::vector<std::string>{"Main Window", "main window"}));
}

TEST_F(IniFileTest, IntegersAreReadLikeTheProfileFunctions) {
  Write(
      "[N]\n"
      "digits=  42abc\n"
      "negative=-7\n"
      "plus=+8\n"
      "words=abc\n"
      "empty=\n"
      "hex=0x1F\n"
      "wrap=4294967297\n");
  IniFile ini(Path());
  EXPECT_EQ(ini.GetInt("N", "digits", 1), 42);
  EXPECT_EQ(ini.GetInt("N", "negative", 1), -7);
  EXPECT_EQ(ini.GetInt("N", "plus", 1), 8);
  // A key that is present never gives the default, even without digits.
  EXPECT_EQ(ini.GetInt("N", "words", 1), 0);
  EXPECT_EQ(ini.GetInt("N", "empty", 1), 0);
  EXPECT_EQ(ini.GetInt("N", "hex", 1), 31);
  EXPECT_EQ(ini.GetInt("N", "wrap", 1), 1);
  EXPECT_EQ(ini.GetInt("N", "absent", -5), -5);
}

TEST_F(IniFileTest, SectionReadsListLinesAndTruncateToTheBuffer) {
  Write(
      "[Korean-412]\n"
      "; translator's note\n"
      "1 = Home\n"
      "\n"
      "no equal sign\n"
      "2=A|B\n"
      "[Next]\n"
      "3=x\n");
  IniFile ini(Path());
  char buffer[64];
  const std::string whole(
      "1=Home\0no equal sign\0"
      "2=A|B\0",
      27);
  ASSERT_EQ(ini.GetSection("korean-412", buffer, sizeof(buffer)), whole.size());
  EXPECT_EQ(std::string(buffer, whole.size() + 1), whole + '\0');

  // Exactly fitting: the text and its final zero.
  char exact[28];
  EXPECT_EQ(ini.GetSection("Korean-412", exact, sizeof(exact)), 27u);
  EXPECT_EQ(std::string(exact, 28), whole + '\0');
  // One short: cut to size - 2 characters and two zeros.
  char cut[12];
  EXPECT_EQ(ini.GetSection("Korean-412", cut, sizeof(cut)), 10u);
  EXPECT_EQ(std::string(cut, 12), std::string("1=Home\0no \0\0", 12));

  char empty[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(ini.GetSection("Absent", empty, sizeof(empty)), 0u);
  EXPECT_EQ(empty[0], '\0');
  EXPECT_EQ(empty[1], '\0');
  EXPECT_EQ(IniFile(dir_.path() + "/none.ini").GetSection("A", empty, sizeof(empty)), 0u);
}

TEST_F(IniFileTest, WritesKeepEveryOtherLineAndTheLineEnds) {
  Write(
      "; settings\r\n"
      "[Firewall]\r\n"
      "language = 1033   \r\n"
      "; keep me\r\n"
      "\r\n"
      "[Other]\r\n"
      "x=1\r\n");
  IniFile ini(Path());
  ASSERT_TRUE(ini.WriteInt("FIREWALL", "Language", 1042));
  ASSERT_TRUE(ini.WriteString("Firewall", "New", " value "));
  ASSERT_TRUE(ini.WriteInt("MainWindow", "Left", -3));
  EXPECT_EQ(Read(),
            "; settings\r\n"
            "[Firewall]\r\n"
            "language=1042\r\n"
            "; keep me\r\n"
            "New=value\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n"
            "\r\n"
            "[MainWindow]\r\n"
            "Left=-3\r\n");
  EXPECT_EQ(ini.GetInt("mainwindow", "left", 0), -3);

  ASSERT_TRUE(ini.DeleteKey("Firewall", "new"));
  ASSERT_TRUE(ini.DeleteKey("Firewall", "never there"));
  ASSERT_TRUE(ini.DeleteSection("other"));
  EXPECT_EQ(Read(),
            "; settings\r\n"
            "[Firewall]\r\n"
            "language=1042\r\n"
            "; keep me\r\n"
            "\r\n"
            "[MainWindow]\r\n"
            "Left=-3\r\n");

  // Texts that would break the line format are refused and leave the file alone.
  std::string before = Read();
  EXPECT_FALSE(ini.WriteString("Firewall", "a=b", "1"));
  EXPECT_FALSE(ini.WriteString("Fire]wall", "a", "1"));
  EXPECT_FALSE(ini.WriteString("Firewall", "a", "1\n[Injected]"));
  EXPECT_FALSE(ini.WriteString("Firewall", " ", "1"));
  EXPECT_FALSE(ini.WriteEntries({{"Firewall", "ok", "1"}, {"Firewall", "bad=key", "2"}}));
  EXPECT_EQ(Read(), before);
  EXPECT_EQ(FilesInFolder(), 1);  // no temporary file left behind
}

TEST_F(IniFileTest, NewFilesByteOrderMarksAndOversizedFiles) {
  IniFile ini(Path());
  ASSERT_TRUE(ini.WriteString("S", "k", "v"));
  EXPECT_EQ(Read(), "[S]\nk=v\n");
  EXPECT_FALSE(IniFile(dir_.path() + "/no/such/folder.ini").WriteString("S", "k", "v"));

  Write("\xEF\xBB\xBF[S]\nk=bom\n");
  EXPECT_EQ(ini.GetString("S", "k", ""), "bom");
  ASSERT_TRUE(ini.WriteString("S", "k", "kept"));
  EXPECT_EQ(Read(), "\xEF\xBB\xBF[S]\nk=kept\n");

  std::string big = "[S]\nk=big\n" + std::string(kMaxIniFileSize, ';');
  Write(big);
  ScopedDebugCapture capture;
  EXPECT_EQ(ini.GetString("S", "k", "default"), "default");
  EXPECT_TRUE(
      capture.Contains("[QXFW]IniFile: " + Path() + " is larger than 1048576 bytes, ignored"));
  EXPECT_FALSE(ini.WriteString("S", "k", "v"));
  EXPECT_EQ(Read().size(), big.size());
}

TEST_F(IniFileTest, WritersInTwoProcessesKeepEachOthersKeys) {
  constexpr int kPerWriter = 25;
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      IniFile ini(Path());
      int failures = 0;
      for (int i = 0; i < kPerWriter; ++i) {
        failures += !ini.WriteInt("S" + std::to_string(i % 3),
                                  "w" + std::to_string(writer) + "_" + std::to_string(i), i);
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  IniFile ini(Path());
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kPerWriter; ++i) {
      EXPECT_EQ(ini.GetInt("S" + std::to_string(i % 3),
                           "w" + std::to_string(writer) + "_" + std::to_string(i), -1),
                i);
    }
  }
}

}  // namespace
}  // namespace qxfw::platform
