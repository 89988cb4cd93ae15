#include "avlib/update_exchange.h"

#include <gtest/gtest.h>

namespace qxfw::avlib {
namespace {

TEST(UpdateExchangeTest, EncodingMatchesTheWireAndRoundTrips) {
  EXPECT_EQ(EncodeExchange("EQVISION"), "ifjcjiimjhiojfjf");
  EXPECT_EQ(DecodeExchange("ifjcjiimjhiojfjf"), "EQVISION");
  std::string all;
  for (int i = 0; i < 300; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(DecodeExchange(EncodeExchange(all)), all);
  // An odd last letter is ignored; a letter past "p" ends the text.
  EXPECT_EQ(DecodeExchange("ifjcjiimjhiojfjfa").size(), 8u);
  EXPECT_EQ(DecodeExchange("ifjcz").size(), 2u);
  EXPECT_EQ(DecodeExchange(""), "");
}

TEST(UpdateExchangeTest, AnswerRecordIsCheckedField_by_field) {
  ServerAnswer a;
  ASSERT_EQ(ParseServerAnswer("EAh1;l1;http://x/upd/", &a), AnswerKind::kAnswer);
  EXPECT_EQ(a.high, "h1");
  EXPECT_EQ(a.low, "l1");
  EXPECT_EQ(a.base, "http://x/upd/");
  ASSERT_EQ(ParseServerAnswer("EA;h2;l2;https://y/", &a), AnswerKind::kAnswer);
  EXPECT_EQ(a.high, "h2");
  EXPECT_EQ(ParseServerAnswer("NO", &a), AnswerKind::kNotAnAnswer);
  EXPECT_EQ(ParseServerAnswer("", &a), AnswerKind::kNotAnAnswer);
  for (const char* bad : {"EAh1;l1", "EAh1;l1;file:///etc/", "EA../;l1;http://x/",
                          "EAh]1;l1;http://x/", "EAh1;l\n1;http://x/", "EA;;http://x/",
                          "EAaaaaaaaaaaaaaaaa;l;http://x/", "EAh;l;http://x y/"})
    EXPECT_EQ(ParseServerAnswer(bad, &a), AnswerKind::kMalformed) << bad;
}

TEST(UpdateExchangeTest, ListLinesStampsAndEndRules) {
  ListEntry e;
  ASSERT_EQ(ParseListLine("30152014032009,main.vdb,1234", &e), ListLine::kEntry);
  tm t{};
  localtime_r(&e.stamp, &t);
  EXPECT_EQ(t.tm_year + 1900, 2009);
  EXPECT_EQ(t.tm_mon + 1, 3);
  EXPECT_EQ(t.tm_mday, 14);
  EXPECT_EQ(t.tm_hour, 20);  // ss mm hh DD MM YYYY
  EXPECT_EQ(t.tm_min, 15);
  EXPECT_EQ(t.tm_sec, 30);
  EXPECT_EQ(e.name, "main.vdb");
  EXPECT_EQ(e.size, 1234u);
  EXPECT_EQ(FormatListStamp(e.stamp), "30152014032009");

  for (const char* end : {"", " 30152014032009,a.vdb,1", "\t30152014032009,a.vdb,1", "a,b"})
    EXPECT_EQ(ParseListLine(end, &e), ListLine::kEnd) << end;
  for (const char* skip : {"3015201403200,a.vdb,1", "30152014132009,a.vdb,1",
                           "30152014032009,a.vdb,x", "30152014032009,a.vdb,"})
    EXPECT_EQ(ParseListLine(skip, &e), ListLine::kSkip) << skip;
}

TEST(UpdateExchangeTest, NamesAreCheckedAcceptedAndMapped) {
  for (const char* bad : {"../evil.vdb", "a/b.vdb", "a\\b.vdb", ".hidden.vdb", "x..vdb", ""})
    EXPECT_FALSE(ListedNameIsSafe(bad)) << bad;
  EXPECT_FALSE(ListedNameIsSafe(std::string("a\0b.vdb", 7)));
  EXPECT_TRUE(ListedNameIsSafe("main.vdb"));

  EXPECT_TRUE(UpdateAcceptsName("MAIN.VDB", true));
  EXPECT_TRUE(UpdateAcceptsName("dvengine32.DLL", true));
  EXPECT_TRUE(UpdateAcceptsName("Knlscan.exe", false));
  EXPECT_FALSE(UpdateAcceptsName("Knlscan.exe", true));
  EXPECT_TRUE(UpdateAcceptsName("Language.Korean", false));
  EXPECT_FALSE(UpdateAcceptsName("Language.Korean", true));
  EXPECT_FALSE(UpdateAcceptsName("evil.sh", false));

  EXPECT_EQ(LocalUpdateName("DVENGINE32.dll"), "libdvengine32.so");
  EXPECT_EQ(LocalUpdateName("Kavlo.dll"), "libqxav.so");
  EXPECT_EQ(LocalUpdateName("main.vdb"), "main.vdb");
}

}  // namespace
}  // namespace qxfw::avlib
