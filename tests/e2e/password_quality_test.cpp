// Passwords the pages set, through the real program: libpwquality's
// refusals in the program's words, the override and its record, a missing
// dictionary, generated passwords that appear once on the page and
// nowhere else, and the change at the first login made after chpasswd.
#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr char kQualityConf[] = "minlen=10\nminclass=3\nmaxrepeat=3\nmaxsequence=3\n";
constexpr char kRegistration[] =
    "COMMAND=WILLBEADD&NAME=hanako&UID=&GID=staff&GCOS=Hanako+Kato&DIR=/home/&SHELL=/bin/sh";
constexpr char kOverrideHint[] =
    "<BR>\n弱いパスワードを許可してそのまま設定することもできます。<BR>\n";
constexpr char kStrong[] = "Vq8%23Lm2pXz%21w";  // Vq8#Lm2pXz!w

class PasswordQualityTest : public ::testing::Test {
 protected:
  PasswordQualityTest() {
    box_.SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\nstaff:x:1100:\n");
    box_.WriteFile("quality.conf", kQualityConf);
    box_.WriteFile("badwords", "orvanta\nsecret-project\n");
    Configure("");
  }

  void Configure(const std::string& extra) const {
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nSHELL1=/bin/sh\nUSE_CRYPT=YES\n"
                   "CRYPT_METHOD=YESCRYPT\nUSERADD=" + box_.AddRecordingTool("useradd", 0) +
                   "\nCHAGE=" + box_.AddRecordingTool("chage", 0) + "\nPWQUALITY_CONF=" +
                   box_.PathOf("quality.conf") + "\nBADWORDS=" + box_.PathOf("badwords") + "\n" +
                   extra);
  }

  CgiResult Register(const std::string& fields) const {
    return box_.Run(Post(kRegistration + fields));
  }

  CgiSandbox box_;
};

TEST_F(PasswordQualityTest, RefusalsInTheProgramsWordsAndTheScoreOfAnAcceptedOne) {
  struct Case {
    const char* password;  // form-encoded
    const char* refusal;   // "" for accepted
  };
  const std::vector<Case> cases = {
      {"Q7%21xZ2", "パスワードが短すぎます。"},
      {"qwzxmnb7vl", "パスワードの文字の種類（英大文字・英小文字・数字・記号）が足りません。"},
      {"Qa7%21bbbbXz", "パスワードに同じ文字が続きすぎています。"},
      {"Qa%217wxyz5T", "パスワードに「abc」「123」のような並びが長く続いています。"},
      {"Ab1%21xyx%211bA", "パスワードが前から読んでも後ろから読んでも同じです。"},
      {"Password12%21", "パスワードが辞書にある単語に基づいています。"},
      {"Qz%217hanakoX", "パスワードにユーザー名が含まれています。"},
      {"Qz%217katoX9", "パスワードにコメントの語または使用できない語が含まれています。"},
      {"Qz%217orvantaX", "パスワードにコメントの語または使用できない語が含まれています。"},
      {kStrong, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    const CgiResult result = Register(std::string("&PASS=") + c.password);
    if (*c.refusal != '\0') {
      EXPECT_EQ(result.out, MessagePage(std::string(c.refusal) + kOverrideHint));
      EXPECT_TRUE(box_.CallsOf("useradd").empty());
      continue;
    }
    EXPECT_NE(Utf8(result.out).find("<P>パスワードの強さ: 65（0〜100）</P>\n"), std::string::npos);
    EXPECT_EQ(box_.CallsOf("useradd").size(), 1u);
  }
  EXPECT_EQ(box_.LogRecords(), std::vector<std::string>{"ADD,hanako"});
}

TEST_F(PasswordQualityTest, TheOverrideSetsARefusedPasswordAndIsRecorded) {
  const CgiResult result = Register("&PASS=Qz%217katoX9&WEAKPW=on");
  const std::string page = Utf8(result.out);
  EXPECT_NE(page.find("<P>弱いパスワードを許可して設定しました。</P>\n"), std::string::npos);
  EXPECT_EQ(page.find("パスワードの強さ"), std::string::npos);
  EXPECT_EQ(box_.CallsOf("useradd").size(), 1u);
  EXPECT_EQ(box_.LogRecords(), (std::vector<std::string>{"ADD,hanako", "WEAKPW,hanako"}));
  // The history names it.
  const std::string history = Utf8(box_.Run(Get("COMMAND=LOG")).out);
  EXPECT_NE(history.find("<TD NOWRAP>弱いパスワードを許可</TD>"), std::string::npos) << history;
}

TEST_F(PasswordQualityTest, AMissingDictionaryTurnsOnlyTheDictionaryCheckOff) {
  box_.WriteFile("quality.conf", std::string(kQualityConf) + "dictpath=/nonexistent/words\n");
  Register("&PASS=Password12%21");
  EXPECT_EQ(box_.CallsOf("useradd").size(), 1u);
  // One line, among the run's others (the home the stand-in did not make).
  const std::string errors = box_.ReadFile(".stderr");
  const std::string line =
      "orvanta: password quality: no dictionary /nonexistent/words.pwd: the dictionary check is off\n";
  EXPECT_NE(errors.find(line), std::string::npos) << errors;
  EXPECT_EQ(errors.find("password quality"), errors.rfind("password quality")) << errors;
  EXPECT_EQ(Register("&PASS=Q7%21xZ2").out,
            MessagePage(std::string("パスワードが短すぎます。") + kOverrideHint));
}

// The first match's text as the page shows it, unescaped.
std::string Shown(const std::string& page, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(page, match, std::regex(pattern))) return "";
  return std::regex_replace(match[1].str(), std::regex("&amp;"), "&");
}

// Every file below the directory, read whole.
std::string AllFiles(const std::string& dir) {
  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    if (entry.is_regular_file()) all += std::string(std::istreambuf_iterator<char>(in), {});
  }
  return all;
}

TEST_F(PasswordQualityTest, AGeneratedPasswordIsShownOnceAndKeptNowhere) {
  // Signed in, so that there is a session store to search.
  box_.WriteFile("operators", "admin:$5$MX6VcZh77piiplm0$6dKuwItSohPe489l9OEmuLYO2RGsd8psKxUZR6MhYJB:*\n");
  Configure("OPERATORS=" + box_.PathOf("operators") + "\nLOCKFILE=" + box_.PathOf("x.lock") + "\n");
  CgiRequest form = Get("COMMAND=ADD");
  form.extra_env = {"HTTP_COOKIE=" + Shown(box_.Run(Post("COMMAND=LOGIN&OPERATOR=admin&PASSWORD=s3cret+pass")).out,
                                           "Set-Cookie: (orvanta=[0-9a-f]{64});")};
  const std::string form_page = box_.Run(form).out;
  EXPECT_NE(form_page.find("<INPUT TYPE=\"CHECKBOX\" NAME=\"GENPASS\">"), std::string::npos);
  CgiRequest request = Post(std::string(kRegistration) + "&PASS=&GENPASS=on&TOKEN=" +
                            Shown(form_page, "NAME=\"TOKEN\" VALUE=\"([0-9a-f]{64})\""));
  request.extra_env = form.extra_env;
  const CgiResult result = box_.Run(request);
  const std::string password = Shown(Utf8(result.out), "生成したパスワード: <B><TT>([^<]+)</TT>");
  ASSERT_GE(password.size(), 13u) << Utf8(result.out);
  EXPECT_NE(result.out.find("Cache-Control: no-store"), std::string::npos);
  // chpasswd got its hash, and only its hash.
  const std::string hash = Shown(box_.ReadFile("chpasswd.input"), "^hanako:(\\$y\\$.*)\n");
  EXPECT_STREQ(crypt(password.c_str(), hash.c_str()), hash.c_str());
  EXPECT_TRUE(box_.ReadFile("orvanta.log").starts_with("ADD,hanako,"));
  // Nowhere on the server: log, stderr, tools' arguments and input, sessions.
  EXPECT_FALSE(std::filesystem::is_empty(box_.PathOf("sessions")));
  EXPECT_EQ(AllFiles(box_.dir()).find(password), std::string::npos);
}

TEST_F(PasswordQualityTest, ABatchShowsItsGeneratedPasswordsAndOffersThemOnce) {
  const std::string page = Utf8(box_.Run(Post("COMMAND=BATCHADD&DIR=/home/&SHELL=/bin/sh&LINES="
                                               "hanako%2C*%0D%0Ajiro%2CQ7%21xZ2%0D%0A")).out);
  const std::string password =
      Shown(page, "<TD>hanako</TD><TD>登録しました</TD><TD><TT>([^<]+)</TT></TD>");
  ASSERT_GE(password.size(), 13u) << page;
  EXPECT_NE(page.find("<TD>jiro</TD><TD>パスワードが短すぎます。<BR>\n"
                      "弱いパスワードを許可してそのまま設定することもできます。</TD><TD><BR></TD>"),
            std::string::npos)
      << page;
  std::string csv = Shown(page, "HREF=\"data:text/csv;charset=US-ASCII,([^\"]+)\" DOWNLOAD=\"passwords.csv\"");
  for (size_t at = csv.find('%'); at != std::string::npos; at = csv.find('%', at + 1)) {
    csv.replace(at, 3, 1, static_cast<char>(std::stoi(csv.substr(at + 1, 2), nullptr, 16)));
  }
  EXPECT_EQ(csv, "hanako,\"" + password + "\"\r\n");
  EXPECT_EQ(AllFiles(box_.dir()).find(password), std::string::npos);
}

TEST_F(PasswordQualityTest, AChangeAtTheFirstLoginThatFailsKeepsTheAccount) {
  Configure("CHAGE=" + box_.AddRecordingTool("failing", 1) + "\n");
  const std::string page = Utf8(Register(std::string("&PASS=") + kStrong + "&FORCE=on").out);
  EXPECT_NE(page.find("<P>登録しましたが、初回ログイン時のパスワード変更を設定できませんでした。</P>\n"),
            std::string::npos)
      << page;
  EXPECT_EQ(box_.CallsOf("failing"), (std::vector<std::vector<std::string>>{{"-d", "0", "hanako"}}));
  EXPECT_EQ(box_.LogRecords(), std::vector<std::string>{"ADD,hanako"});
}

}  // namespace
}  // namespace orvanta::test
