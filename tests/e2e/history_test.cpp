// The operation history page (GET LOG) as the real program writes it: pages
// of a generated log newest first, the links between them, the name and
// operator filters, records with and without an operator, lines that are
// no record, and logs the program may not read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr int kRecords = 250;

constexpr char kHeading[] =
    "<TR BGCOLOR=\"#D0D0FF\"><TH NOWRAP>日時</TH>\n<TH NOWRAP>操作</TH>\n"
    "<TH NOWRAP>名前</TH>\n<TH NOWRAP>接続元</TH>\n<TH NOWRAP>操作者</TH></TR>\n\n";

struct Code {
  const char* code;
  const char* words;
};
// By the record's number modulo 10; the last is a code the page does not know.
const Code kCodes[] = {
    {"ADD", "ユーザー登録"},      {"MOD", "ユーザー情報変更"},
    {"DEL", "ユーザー削除"},      {"GADD", "グループ登録"},
    {"GDEL", "グループ削除"},     {"MADD", "グループへ追加"},
    {"MDEL", "グループから削除"}, {"LOCK", "ロック"},
    {"UNLOCK", "ロック解除"},     {"ZAP", "ZAP"},
};
// Record 77's and 87's codes instead of their LOCK.
const Code kAgeing = {"AGE", "パスワード期限変更"};
const Code kKeys = {"KEY", "鍵の変更"};

// Record i of the generated log, as the log holds it and as a row shows it.
// Even records are one person's (a name to escape and URL-encode), the odd
// ones u<i>; membership records add ":staff". Record 33's name holds a
// comma; 120 and 121 are lines with no record in them. Record 171's name is
// longer than the page's 64 KiB blocks of reading, so that lines cross them.
// Records whose number is no multiple of 3 name the operator "k&n".
struct Line {
  std::string text;
  std::string row;
};

Line LineOf(int i) {
  if (i == 120) {
    return {"broken <b>&",
            "<TR><TD><BR></TD>\n<TD><BR></TD>\n<TD NOWRAP>broken &lt;b&gt;&amp;"
            "</TD>\n<TD><BR></TD>\n<TD><BR></TD></TR>\n\n"};
  }
  if (i == 121) {
    return {"ADD,two,commas",
            "<TR><TD><BR></TD>\n<TD><BR></TD>\n<TD NOWRAP>ADD,two,commas</TD>\n"
            "<TD><BR></TD>\n<TD><BR></TD></TR>\n\n"};
  }
  const Code& code = i == 77 ? kAgeing : i == 87 ? kKeys : kCodes[i % 10];
  const bool membership = i % 10 == 5 || i % 10 == 6;
  std::string name = i % 2 == 0 ? "o'hara & co"
                     : i == 33  ? "a,b"
                     : i == 171 ? std::string(70000, 'y')
                                : "u" + std::to_string(i);
  std::string shown = i % 2 == 0 ? "o&#39;hara &amp; co" : name;
  if (membership) {
    name += ":staff";
    shown += ":staff";
  }
  const std::string address = "10.0.0." + std::to_string(i);
  char time[32];
  std::snprintf(time, sizeof time, "2026/01/01 %02d:%02d", i / 60, i % 60);
  const bool operated = i % 3 != 0;
  return {std::string(code.code) + "," + name + "," + address + "," + time +
              (operated ? ",k&n" : ""),
          std::string("<TR><TD NOWRAP>") + time + "</TD>\n<TD NOWRAP>" + code.words +
              "</TD>\n<TD NOWRAP>" + shown + "</TD>\n<TD NOWRAP>" + address + "</TD>\n" +
              (operated ? "<TD NOWRAP>k&amp;n</TD>" : "<TD><BR></TD>") + "</TR>\n\n"};
}

// Where each record starts, and the end of the log.
std::vector<size_t> Starts() {
  std::vector<size_t> starts = {0};
  for (int i = 0; i < kRecords; ++i) starts.push_back(starts.back() + LineOf(i).text.size() + 1);
  return starts;
}

std::string GeneratedLog() {
  std::string log;
  for (int i = 0; i < kRecords; ++i) log += LineOf(i).text + "\n";
  return log;
}

// Records newest to oldest, those `keep` accepts.
std::vector<int> Newest(int from, int to, const std::function<bool(int)>& keep) {
  std::vector<int> shown;
  for (int i = from; i >= to; --i) {
    if (keep(i)) shown.push_back(i);
  }
  return shown;
}
const auto kAll = [](int) { return true; };
const auto kPerson = [](int i) { return i % 2 == 0 && i != 120; };
const auto kOperator = [](int i) { return i % 3 != 0 && i != 121; };

// A link to another page: its parameters after COMMAND=LOG, escaped.
std::string Link(const char* text, const std::string& parameters) {
  return "<A HREF=\"./orvanta.cgi?COMMAND=LOG" + parameters + "\">" + text + "</A>\n";
}
std::string Newer(const std::string& parameters) { return Link("新しい記録へ", parameters); }
std::string Older(const std::string& parameters) { return Link("古い記録へ", parameters); }

// `csv`: the filter's parameters after COMMAND=LOGCSV, escaped.
std::string HistoryPage(const std::vector<int>& shown, const std::string& links,
                        const std::string& filter_shown = "", const std::string& who_shown = "",
                        const std::string& csv = "") {
  std::string body =
      "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"GET\">\n"
      "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"LOG\">\n"
      "名前 <INPUT TYPE=\"TEXT\" NAME=\"NAME\" VALUE=\"" +
      filter_shown +
      "\" SIZE=\"20\">\n"
      "操作者 <INPUT TYPE=\"TEXT\" NAME=\"OPERATOR\" VALUE=\"" +
      who_shown +
      "\" SIZE=\"20\">\n"
      "<INPUT TYPE=\"SUBMIT\" VALUE=\" 表 示 \">\n</FORM>\n"
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
      "<CAPTION><FONT SIZE=\"+2\">操作履歴</FONT></CAPTION>\n\n" +
      kHeading;
  for (size_t k = 0; k < shown.size(); ++k) {
    if (k > 0 && k % 10 == 0) body += kHeading;
    body += LineOf(shown[k]).row;
  }
  body += "</TABLE>\n<BR>\n";
  if (!links.empty()) body += links + "<BR>\n";
  body += "<A HREF=\"./orvanta.cgi?COMMAND=LOGCSV" + csv +
          "\">CSVファイルで保存</A>（一覧のすべての行）<BR>\n";
  return Framed(body);
}

TEST(HistoryPages, PagesAndFilterOfAGeneratedLog) {
  CgiSandbox box;
  box.SetConfig("LOGFILE=history.log\n");
  box.WriteFile("history.log", GeneratedLog());
  const std::vector<size_t> at = Starts();
  const auto from = [&](size_t offset) { return "&amp;FROM=" + std::to_string(offset); };
  const std::string person = "&amp;NAME=o%27hara%20%26%20co";
  const std::string person_shown = "o&#39;hara &amp; co";
  const std::string who = "&amp;OPERATOR=k%26n";
  struct Case {
    std::string query;
    std::string expected;
  };
  const Case newest = {"", HistoryPage(Newest(249, 150, kAll), Older(from(at[150])))};
  const std::vector<Case> cases = {
      newest,
      // FROM missing, 0, past the end or not a number: the end of the log.
      {"&FROM=0", newest.expected},
      {"&FROM=" + std::to_string(at[kRecords] + 1), newest.expected},
      {"&FROM=-5", newest.expected},
      {"&FROM=12x", newest.expected},
      {"&FROM=" + std::to_string(at[kRecords]), newest.expected},
      // Paging back twice, the malformed lines on the way; the newer link
      // of the second page leads to the first as it was.
      {"&FROM=" + std::to_string(at[150]),
       HistoryPage(Newest(149, 50, kAll), Newer(from(at[kRecords])) + Older(from(at[50])))},
      {"&FROM=" + std::to_string(at[50]), HistoryPage(Newest(49, 0, kAll), Newer(from(at[150])))},
      // Inside a line: moved back to the end of the line before.
      {"&FROM=" + std::to_string(at[150] + 3),
       HistoryPage(Newest(149, 50, kAll), Newer(from(at[kRecords])) + Older(from(at[50])))},
      {"&FROM=" + std::to_string(at[1] - 1), HistoryPage({}, Newer(from(at[100])))},
      {"&FROM=" + std::to_string(at[171] + 40000),
       HistoryPage(Newest(170, 71, kAll), Newer("") + Older(from(at[71])))},
      // Fewer than a page of newer records: the newer link is the newest page.
      {"&FROM=" + std::to_string(at[200]),
       HistoryPage(Newest(199, 100, kAll), Newer("") + Older(from(at[100])))},
      // The filter: the name exactly, and the person of membership records.
      {"&NAME=o%27hara+%26+co",
       HistoryPage(Newest(249, 48, kPerson), Older(from(at[48]) + person), person_shown, "", person)},
      {"&NAME=o%27hara+%26+co&FROM=" + std::to_string(at[48]),
       HistoryPage(Newest(47, 0, kPerson), Newer(from(at[249]) + person), person_shown, "", person)},
      {"&NAME=u1", HistoryPage({1}, "", "u1", "", "&amp;NAME=u1")},
      {"&NAME=u5:staff", HistoryPage({5}, "", "u5:staff", "", "&amp;NAME=u5%3Astaff")},
      {"&NAME=a%2Cb", HistoryPage({33}, "", "a,b", "", "&amp;NAME=a%2Cb")},
      {"&NAME=staff", HistoryPage({}, "", "staff", "", "&amp;NAME=staff")},
      // The operator filter, alone and with the name; its links keep it.
      {"&OPERATOR=k%26n",
       HistoryPage(Newest(249, 98, kOperator), Older(from(at[98]) + who), "", "k&amp;n", who)},
      {"&OPERATOR=k%26n&FROM=" + std::to_string(at[98]),
       HistoryPage(Newest(97, 0, kOperator), Newer(from(at[249]) + who), "", "k&amp;n", who)},
      {"&NAME=u5:staff&OPERATOR=k%26n", HistoryPage({5}, "", "u5:staff", "k&amp;n",
                                                    "&amp;NAME=u5%3Astaff" + who)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    const CgiResult result = box.Run(Get("COMMAND=LOG" + c.query));
    EXPECT_EQ(Utf8(result.out), Utf8(c.expected));
  }
  EXPECT_EQ(box.ReadFile(".stderr"), "");
}

// No log yet, an empty one, and logs the writer would refuse: an empty
// table, and a line on stderr for the refused ones.
TEST(HistoryPages, EmptyTableWithoutALogToRead) {
  const std::string records = "ADD,taro,192.0.2.1,2026/01/01 00:00\n";
  const std::vector<std::pair<std::function<void(const CgiSandbox&)>, std::string>> cases = {
      {[](const CgiSandbox&) {}, ""},
      {[](const CgiSandbox& box) { box.WriteFile("orvanta.log", ""); }, ""},
      {[&](const CgiSandbox& box) {
         box.WriteFile("other", records);
         ASSERT_EQ(symlink(box.PathOf("other").c_str(), box.PathOf("orvanta.log").c_str()), 0);
       },
       "orvanta: history not shown: orvanta.log cannot be opened\n"},
      {[&](const CgiSandbox& box) {
         box.WriteFile("other", records);
         ASSERT_EQ(link(box.PathOf("other").c_str(), box.PathOf("orvanta.log").c_str()), 0);
       },
       "orvanta: history not shown: orvanta.log is not a regular file with one link owned by "
       "root\n"},
      {[&](const CgiSandbox& box) {
         box.WriteFile("orvanta.log", records);
         ASSERT_EQ(chown(box.PathOf("orvanta.log").c_str(), 65534, 65534), 0);
       },
       "orvanta: history not shown: orvanta.log is not a regular file with one link owned by "
       "root\n"},
  };
  for (const auto& [plant, errors] : cases) {
    SCOPED_TRACE(errors);
    CgiSandbox box;
    plant(box);
    EXPECT_EQ(Utf8(box.Run(Get("COMMAND=LOG&FROM=5")).out), Utf8(HistoryPage({}, "")));
    EXPECT_EQ(box.ReadFile(".stderr"), errors);
  }
}

}  // namespace
}  // namespace orvanta::test
