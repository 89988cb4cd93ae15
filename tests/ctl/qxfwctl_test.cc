// Runs the real qxfwctl binary against a temporary data folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "ctl/json_writer.h"
#include "monitor/loopback_sockets.h"
#include "platform/debug_output.h"
#include "platform/folders.h"
#include "platform/lock_holder.h"
#include "store/db_manager.h"
#include "test_support/command_output.h"
#include "test_support/temp_dir.h"

namespace qxfw::ctl {
namespace {

using Result = test_support::CommandOutput;

class QxfwctlTest : public ::testing::Test {
 protected:
  // qxfwctl with arguments, on the test's own folders.
  Result Run(const std::string& arguments) {
    return test_support::RunCommandLine(Environment() + QXFWCTL_PATH " " + arguments + " 2>&1");
  }
  std::string Environment() const {
    return "QXFW_APPDATA='" + dir_.path() + "' XDG_CACHE_HOME='" + dir_.path() + "/cache' ";
  }
  test_support::TempDir dir_;
};

TEST_F(QxfwctlTest, RulesRoundTripThroughTheStore) {
  EXPECT_EQ(Run("rules add-program allow /usr/bin/../bin/curl").status, 0);
  EXPECT_EQ(Run("rules add-program block /opt/tool/run").status, 0);
  Result dup = Run("rules add-program block /USR/BIN/CURL");
  EXPECT_EQ(dup.status, 1);
  EXPECT_NE(dup.out.find("already exists"), std::string::npos);
  EXPECT_EQ(Run("rules add-portip 1 80 88 0.0.0.0 0.0.0.0 1 web 1").status, 0);
  EXPECT_EQ(Run("rules add-portip 0 0 0 10.0.0.1 10.0.0.9 4 lan 4").status, 0);

  Result list = Run("rules list --json");
  ASSERT_EQ(list.status, 0);
  EXPECT_EQ(list.out,
            "{\"securityLevel\":3,\"programs\":[{\"action\":1,\"actionText\":\"Allow\",\"path\":"
            "\"/usr/bin/curl\"},{\"action\":0,\"actionText\":\"Block\",\"path\":\"/opt/tool/"
            "run\"}],\"portIpRules\":[{\"action\":1,\"actionText\":\"Allow\",\"beginPort\":80,"
            "\"endPort\":88,\"beginIp\":\"0.0.0.0\",\"endIp\":\"0.0.0.0\",\"protocol\":1,"
            "\"protocolText\":\"TCP\",\"description\":\"web\",\"portType\":1,\"portTypeText\":"
            "\"User Defined Port\"},{\"action\":0,\"actionText\":\"Block\",\"beginPort\":0,"
            "\"endPort\":0,\"beginIp\":\"10.0.0.1\",\"endIp\":\"10.0.0.9\",\"protocol\":4,"
            "\"protocolText\":\"ALL\",\"description\":\"lan\",\"portType\":4,\"portTypeText\":"
            "\"\"}]}\n");

  EXPECT_EQ(Run("rules delete-program /opt/tool/run").status, 0);
  EXPECT_EQ(Run("rules delete-program /opt/tool/run").status, 1);
  EXPECT_EQ(Run("rules delete-portip 80 88 0.0.0.0 0.0.0.0 1").status, 0);
  EXPECT_EQ(Run("level set 2").out, "2 Low\n");
  EXPECT_EQ(Run("level get").out, "2 Low\n");

  // The same files, read by the store directly.
  store::CDBManager db(dir_.path() + "/QOLTEX/Firewall");
  EXPECT_EQ(db.GetSecurityLevel(), 2u);
  db.Select(store::CDBManager::kSelectRuleFile);
  ASSERT_EQ(db.Select(store::CDBManager::kSelectProgram), 1);
  store::tagFIREWALL_PROGRAM p{};
  ASSERT_EQ(db.GetProgram(&p), 1);
  EXPECT_STREQ(p.path, "/usr/bin/curl");
  EXPECT_EQ(db.Select(store::CDBManager::kSelectProgram), 0);
}

TEST_F(QxfwctlTest, JournalListsChangesInOrderWithDateFilter) {
  ASSERT_EQ(Run("rules add-program allow /usr/bin/a").status, 0);
  ASSERT_EQ(Run("rules add-portip 1 22 22 0.0.0.0 0.0.0.0 1 ssh 2").status, 0);
  ASSERT_EQ(Run("rules delete-program /usr/bin/a").status, 0);
  Result journal = Run("journal");
  ASSERT_EQ(journal.status, 0);
  size_t first = journal.out.find("1\t");
  size_t second = journal.out.find("\n2\t");
  size_t third = journal.out.find("\n3\t");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  ASSERT_NE(third, std::string::npos);
  EXPECT_NE(journal.out.find("added\tprogram Allow /usr/bin/a"), std::string::npos);
  EXPECT_NE(journal.out.find("deleted\tprogram Allow /usr/bin/a"), std::string::npos);
  EXPECT_NE(journal.out.find("System Port"), std::string::npos);
  EXPECT_EQ(Run("journal --from 2099-01-01").out, "");
  Result json = Run("journal --json --to 2099-12-31");
  EXPECT_EQ(json.out.rfind("[{\"sequence\":1,", 0), 0u) << json.out;
}

TEST_F(QxfwctlTest, BadInputIsRefusedWithOneLine) {
  const char* bad[] = {
      "rules add-program allow relative/path",
      "rules add-program policy /usr/bin/a",
      "rules add-program maybe /usr/bin/a",
      "rules add-portip 1 80 70 0.0.0.0 0.0.0.0 1 web 1",
      "rules add-portip 1 80 80 0.0.0.0 0.0.0.0 3 web 1",
      "rules add-portip 1 80 80 300.0.0.1 0.0.0.0 1 web 1",
      "rules add-portip 1 99999 99999 0.0.0.0 0.0.0.0 1 web 1",
      "rules add-portip 1 80 80 0.0.0.0 0.0.0.0 1 a,b 1",
      "rules add-portip 1 80 80 0.0.0.0 0.0.0.0 1 web",
      "level set 5",
      "level set x",
      "journal --from 2024-13-01",
      "journal --from",
      "rules list --bogus",
      "nonsense",
  };
  for (const char* arguments : bad) {
    Result r = Run(arguments);
    EXPECT_EQ(r.status, 2) << arguments << ": " << r.out;
    EXPECT_EQ(r.out.rfind("qxfwctl: ", 0), 0u) << arguments;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << arguments;
  }
  // Nothing of that reached the store.
  EXPECT_EQ(Run("rules list").out,
            "Security level: 3 (Medium)\nProgram rules: 0\nIP/port rules: 0\n");
}

TEST_F(QxfwctlTest, RefusesWhileTheStoreIsHeld) {
  ASSERT_EQ(Run("level").status, 0);
  store::CDBManager held(dir_.path() + "/QOLTEX/Firewall");
  ASSERT_TRUE(held.IsRuleFileOpen());
  Result r = Run("rules add-program allow /usr/bin/a");
  EXPECT_EQ(r.status, 1);
  // The refusal names the holder, here this test.
  EXPECT_NE(r.out.find("is in use by qxfwctl_test (pid " + std::to_string(getpid()) + ")"),
            std::string::npos)
      << r.out;
}

// A holder that keeps the rule data file for a while under a given program name: a copy of
// flock(1) named so.
class NamedHolder {
 public:
  NamedHolder(const std::string& dir, const std::string& name, const std::string& file,
              const char* seconds) {
    std::string program = dir + "/" + name;
    std::filesystem::copy_file("/usr/bin/flock", program);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);  // flock's sleep shares the lock; both go at the end
      execl(program.c_str(), name.c_str(), "-x", file.c_str(), "sleep", seconds,
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 300 && !platform::LockHolderOf(file); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~NamedHolder() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

TEST_F(QxfwctlTest, RefusalNamesTheFirewallOrAnotherQxfwctl) {
  ASSERT_EQ(Run("level").status, 0);
  test_support::TempDir bin;
  const std::string file = dir_.path() + "/QOLTEX/Firewall/QLFW.dat";
  {
    NamedHolder firewall(bin.path(), "qxfw", file, "30");
    Result r = Run("rules add-program allow /usr/bin/a");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("in use by a running firewall program (pid " +
                         std::to_string(firewall.pid()) + "); use its screens"),
              std::string::npos)
        << r.out;
  }
  NamedHolder other(bin.path(), "qxfwctl", file, "30");
  Result r = Run("level");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in use by another qxfwctl (pid " + std::to_string(other.pid()) + ")"),
            std::string::npos)
      << r.out;
}

// An add that cannot be written says why instead of claiming the rule exists.
TEST_F(QxfwctlTest, AddThatCannotBeWrittenGivesTheReason) {
  ASSERT_EQ(Run("level").status, 0);  // the files, one header slot each
  // Files may not grow past 1024 bytes; the size signal is ignored, so writes fail with EFBIG.
  Result r = test_support::RunCommandLine("trap '' XFSZ; ulimit -f 2; " + Environment() +
                                          QXFWCTL_PATH " rules add-program allow /usr/bin/x 2>&1");
  const std::string& out = r.out;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(out.find("already exists"), std::string::npos) << out;
  EXPECT_NE(out.find("cannot write the rule data file"), std::string::npos) << out;
  EXPECT_NE(out.find(std::strerror(EFBIG)), std::string::npos) << out;
  EXPECT_EQ(Run("rules list --json").out.find("/usr/bin/x"), std::string::npos);
}

// The firewall program's first open waits a few seconds for a short-lived holder, never for
// another firewall program.
TEST_F(QxfwctlTest, FirstOpenWaitsForAShortLivedHolderOnly) {
  ASSERT_EQ(Run("level").status, 0);
  test_support::TempDir bin;
  const std::string folder = dir_.path() + "/QOLTEX/Firewall";
  {
    NamedHolder firewall(bin.path(), "qxfw", folder + "/QLFW.dat", "30");
    auto start = std::chrono::steady_clock::now();
    store::CDBManager refused(folder, std::chrono::milliseconds(3000));
    EXPECT_FALSE(refused.IsRuleFileOpen());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  }
  NamedHolder brief(bin.path(), "qxfwctl", folder + "/QLFW.dat", "1");
  platform::ScopedDebugCapture capture;
  store::CDBManager waited(folder, std::chrono::milliseconds(3000));
  EXPECT_TRUE(waited.IsRuleFileOpen());
  EXPECT_TRUE(waited.IsJournalOpen());
  ASSERT_FALSE(capture.Lines().empty());
  EXPECT_NE(capture.Lines()[0].find("held by qxfwctl (pid " + std::to_string(brief.pid())),
            std::string::npos)
      << capture.Lines()[0];
}

// qxfwctl reads, lets go of the store, then prints: a reader that is slow to take the output
// does not keep the firewall from its rules.
TEST_F(QxfwctlTest, SlowReaderOfTheOutputDoesNotHoldTheStore) {
  const std::string folder = dir_.path() + "/QOLTEX/Firewall";
  ASSERT_EQ(Run("level").status, 0);
  {
    store::CDBManager db(folder);
    for (uint16_t port = 1; port <= 300; ++port) {
      store::tagFIREWALL_PORTIP rule{};
      rule.action = 1;
      rule.beginPort = rule.endPort = port;
      rule.protocol = 1;
      rule.portType = 1;
      std::memset(rule.description, 'd', 250);
      ASSERT_NE(db.AddPortIp(rule), 0);
    }
  }
  // More than a pipe holds, so qxfwctl blocks on its output until the reader wakes up.
  std::thread reader([&] { Run("journal | (sleep 4; cat) >/dev/null"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  store::CDBManager firewall(folder);
  EXPECT_TRUE(firewall.IsRuleFileOpen());
  EXPECT_TRUE(firewall.IsJournalOpen());
  reader.join();
}

TEST_F(QxfwctlTest, MonitorViewsSeeThisProcess) {
  platform::UniqueFd listener = test_support::TcpListener(4);
  ASSERT_TRUE(listener.Valid());
  const int port = test_support::LocalPortOf(listener.Get());

  Result connections = Run("connections --json");
  ASSERT_EQ(connections.status, 0);
  std::string wanted =
      "\"protocol\":\"TCP\",\"localAddress\":\"127.0.0.1\",\"localPort\":" + std::to_string(port) +
      ",\"remoteAddress\":\"0.0.0.0\",\"remotePort\":0,\"state\":\"Listen\","
      "\"pid\":" +
      std::to_string(getpid());
  EXPECT_NE(connections.out.find(wanted), std::string::npos) << connections.out.substr(0, 2000);

  Result processes = Run("processes --json");
  ASSERT_EQ(processes.status, 0);
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  EXPECT_NE(processes.out.find("{\"pid\":" + std::to_string(getpid()) + ",\"name\":"),
            std::string::npos);
  EXPECT_NE(processes.out.find(std::string("\"path\":\"") + self + "\""), std::string::npos);
  listener.Reset();

  Result info = Run("fileinfo /usr/bin/ls --json");
  ASSERT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("\"ProductName\":\"coreutils\""), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"signed\":true"), std::string::npos) << info.out;
  EXPECT_EQ(Run("fileinfo /no/such/file").status, 1);

  Result traffic = Run("traffic --count 1 --interface 0 --json");
  ASSERT_EQ(traffic.status, 0);
  EXPECT_EQ(traffic.out.rfind("{\"interface\":\"", 0), 0u) << traffic.out;
  EXPECT_EQ(Run("traffic --interface 999").status, 2);
}

TEST_F(QxfwctlTest, WhoisAsksTheGivenServer) {
  platform::UniqueFd server = test_support::TcpListener(1);
  ASSERT_TRUE(server.Valid());
  const int port = test_support::LocalPortOf(server.Get());
  std::string query;
  std::thread peer([&] {
    int c = accept(server.Get(), nullptr, nullptr);
    char buffer[256];
    ssize_t n = recv(c, buffer, sizeof(buffer), 0);
    if (n > 0) query.assign(buffer, static_cast<size_t>(n));
    const char answer[] = "NetRange: 192.0.2.0 - 192.0.2.255\nOrgName: Example Test Net\n";
    send(c, answer, sizeof(answer) - 1, 0);
    close(c);
  });
  Result r = Run("whois 192.0.2.7 --server 127.0.0.1 --port " + std::to_string(port));
  peer.join();
  server.Reset();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(query.rfind("192.0.2.7", 0), 0u) << query;
  EXPECT_NE(r.out.find("OrgName: Example Test Net"), std::string::npos) << r.out;
  EXPECT_EQ(Run("whois not-an-address").status, 2);
}

TEST(JsonWriter, EscapesControlQuotesAndInvalidUtf8) {
  EXPECT_EQ(JsonWriter::Quote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(JsonWriter::Quote("\xED\x95\x9C"), "\"\xED\x95\x9C\"");
  EXPECT_EQ(JsonWriter::Quote("x\xFFy\xC3"), "\"x\\ufffdy\\ufffd\"");
  JsonWriter json;
  json.BeginObject()
      .Field("a", int64_t{1})
      .Key("b")
      .BeginArray()
      .Bool(true)
      .Null()
      .EndArray()
      .EndObject();
  EXPECT_EQ(json.Text(), "{\"a\":1,\"b\":[true,null]}");
}

TEST(JsonWriter, IllFormedUtf8IsReplacedWellFormedIsKept) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"\xC0\xAF", "\\ufffd\\ufffd"},             // overlong "/"
      {"\xE0\x80\xAF", "\\ufffd\\ufffd\\ufffd"},  // overlong, three bytes
      {"\xF0\x80\x80\xAF", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"\xED\xA0\x80", "\\ufffd\\ufffd\\ufffd"},             // surrogate U+D800
      {"\xF4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // past U+10FFFF
      {"\xF5\x80\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"\x80"
       "a\xBF",
       "\\ufffda\\ufffd"},  // lone continuation bytes
      {"\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xC2\x80", "\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xC2\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JsonWriter::Quote(c.in), std::string("\"") + c.out + "\"") << c.in;
    EXPECT_TRUE(JsonWriter::IsValidUtf8(JsonWriter::Quote(c.in)));
  }
  EXPECT_FALSE(JsonWriter::IsValidUtf8("\xED\xBF\xBF"));
  EXPECT_TRUE(JsonWriter::IsValidUtf8("\xED\x9F\xBF"));  // U+D7FF, just below the surrogates
}

TEST(TerminalText, ControlBytesNeverReachTheTerminal) {
  EXPECT_EQ(TerminalText("a\nb\tc\x1b[2J\x7f"), "a?b?c?[2J?");
  EXPECT_EQ(TerminalText("\xC2\x9B"
                         "31m"),
            "?31m");  // C1 control sequence introducer
  EXPECT_EQ(TerminalText("\xFF\xED\x95\x9C"), "?\xED\x95\x9C");
  EXPECT_EQ(TerminalText("line\n\tmore\r\n", true), "line\n\tmore?\n");
}

TEST_F(QxfwctlTest, NamesThatAreNotUtf8StayValidJsonAndSafeText) {
  // Every ill-formed kind at once in one program path.
  ASSERT_EQ(
      Run("rules add-program allow \"$(printf '/opt/x\\300\\257\\355\\240\\200\\365\\200y')\"")
          .status,
      0);
  ASSERT_EQ(Run("rules add-program allow \"$(printf '/opt/line\\nbreak\\033[31m')\"").status, 0);
  Result json = Run("rules list --json");
  ASSERT_EQ(json.status, 0);
  EXPECT_TRUE(JsonWriter::IsValidUtf8(json.out)) << json.out;
  EXPECT_NE(json.out.find("/opt/x\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffdy"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("/opt/line\\nbreak\\u001b[31m"), std::string::npos) << json.out;

  Result text = Run("rules list");
  ASSERT_EQ(text.status, 0);
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_NE(text.out.find("/opt/line?break?[31m\n"), std::string::npos) << text.out;
  EXPECT_TRUE(JsonWriter::IsValidUtf8(text.out));
}

}  // namespace
}  // namespace qxfw::ctl
