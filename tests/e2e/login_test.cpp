// The operators' own sign-in (OPERATORS): one sign-in starts a session
// that every page names and every POST proves with its token; sessions
// end on sign-out, idling, age and a changed operator; guessing stays slow
// from any number of addresses; Basic only with AUTH_BASIC=YES.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/sessions.h"

namespace orvanta::test {
namespace {

constexpr char kPassword[] = "s3cret pass";
constexpr char kRegistration[] =
    "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&UID=&GID=staff&GCOS=&DIR=/home/&SHELL=/bin/sh";
constexpr char kRegistered[] = "ユーザー登録しました。";
constexpr char kSignInForm[] = "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"LOGIN\">";
constexpr char kSessionsDir[] = "sessions";
constexpr char kAddress[] = "192.0.2.10";

bool SignInPage(const CgiResult& r) { return r.out.find(kSignInForm) != std::string::npos; }
bool Registered(const CgiResult& r) { return Utf8(r.out).find(kRegistered) != std::string::npos; }

class LoginTest : public ::testing::Test {
 protected:
  LoginTest() { Configure(""); }

  void Configure(const std::string& extra) {
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nSHELL1=/bin/sh\nUSERADD=" +
                   box_.AddRecordingTool("useradd", 0) + "\nOPERATORS=" + box_.PathOf("operators") +
                   "\nLOCKFILE=" + box_.PathOf("orvanta.lock") + "\n" + extra);
    box_.SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\nstaff:x:1100:\n");
    box_.WriteFile("operators", kAdminLine);
  }

  CgiResult Send(CgiRequest request, std::vector<std::string> env = {},
                 const std::string& address = kAddress) const {
    request.extra_env = std::move(env);
    request.remote_addr = address;
    return box_.Run(request, {}, kShortWaitsProgram);
  }
  CgiRequest SignInRequest(const std::string& password = kPassword,
                           const std::string& asked = "") const {
    return Post("COMMAND=LOGIN&OPERATOR=admin&PASSWORD=" + password + "&RETURN=" + asked);
  }
  CgiResult SignIn(std::vector<std::string> env = {}, const std::string& address = kAddress,
                   const std::string& password = kPassword) const {
    return Send(SignInRequest(password), std::move(env), address);
  }
  // Sign-ins from these addresses, side by side.
  std::vector<CgiResult> SignInsTogether(const std::vector<std::string>& addresses,
                                         const std::string& password) const {
    std::vector<CgiRequest> requests;
    for (const std::string& address : addresses) {
      requests.push_back(SignInRequest(password));
      requests.back().remote_addr = address;
    }
    return box_.RunTogether(requests, kShortWaitsProgram);
  }
  // A request of the session the sign-in's cookie names.
  CgiResult InSession(const CgiResult& signed_in, CgiRequest request) const {
    return Send(std::move(request), {"HTTP_COOKIE=other=1; " + Cookie(signed_in)});
  }
  std::vector<std::string> SessionFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(box_.PathOf(kSessionsDir))) {
      files.push_back(entry.path().filename());
    }
    return files;
  }
  // Rewrites field `index` (0: operator ... 5: token) of the one session.
  void SetSessionField(size_t index, const std::string& value) const {
    const std::string name = std::string(kSessionsDir) + "/" + SessionFiles().at(0);
    std::istringstream fields(box_.ReadFile(name));
    std::vector<std::string> all{std::istream_iterator<std::string>(fields), {}};
    all.at(index) = value;
    std::string line;
    for (const std::string& field : all) line += (line.empty() ? "" : " ") + field;
    box_.WriteFile(name, line + "\n");
  }
  CgiResult Tool(const std::string& arguments, const std::string& input) const {
    return box_.Run(Post(input), {"/bin/sh", "-c",
                                  std::string("exec ") + ORVANTA_OPERATOR_TOOL_PATH + " " +
                                      arguments + " --config cfg_file.cfg"});
  }

  CgiSandbox box_;
};

TEST_F(LoginTest, EverySignInGetsANewSessionAndTheCookieOfItsScheme) {
  struct Case {
    const char* what;
    std::string config;
    std::vector<std::string> env;
    std::string attributes;
  };
  const std::vector<Case> cases = {
      {"HTTP",
       "",
       {"SCRIPT_NAME=/orvanta/orvanta.cgi"},
       "; Path=/orvanta/orvanta.cgi; HttpOnly; SameSite=Strict"},
      {"HTTPS",
       "",
       {"HTTPS=on", "SCRIPT_NAME=/orvanta/orvanta.cgi"},
       "; Path=/; Secure; HttpOnly; SameSite=Strict"},
      {"a proxy's trusted https origin",
       "TRUSTED_ORIGINS=https://admin.example.org\n",
       {"HTTP_ORIGIN=https://admin.example.org", "HTTP_HOST=10.0.0.5:8080"},
       "; Path=/; Secure; HttpOnly; SameSite=Strict"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Configure(c.config);
    std::set<std::string> cookies;
    for (int i = 0; i < 2; ++i) {
      const CgiResult result = SignIn(c.env);
      ASSERT_TRUE(result.out.starts_with(
          "Status: 303 See Other\nLocation: ./orvanta.cgi?COMMAND=MENU\nSet-Cookie: " +
          Cookie(result) + c.attributes + "\n"))
          << result.out;
      cookies.insert(Cookie(result));
      const std::string id = Cookie(result).substr(Cookie(result).find('=') + 1);
      for (const std::string& file : SessionFiles()) {
        EXPECT_EQ(box_.ReadFile(std::string(kSessionsDir) + "/" + file).find(id),
                  std::string::npos);
      }
      std::vector<std::string> env = c.env;
      env.push_back("HTTP_COOKIE=" + Cookie(result));
      EXPECT_NE(Utf8(Send(Get("COMMAND=MENU"), env).out).find("ログイン中: admin"),
                std::string::npos);
    }
    EXPECT_EQ(cookies.size(), 2u);
  }
}

TEST_F(LoginTest, APostOfASessionRunsOnlyWithItsToken) {
  const CgiResult session = SignIn();
  const std::string form = InSession(session, Get("COMMAND=ADD")).out;
  const std::string token = Token(InSession(session, Get("COMMAND=MENU")));
  // The sign-out form's and the registration form's; no link carries it.
  const std::string field = "NAME=\"TOKEN\" VALUE=\"" + token + "\"";
  size_t fields = 0;
  for (size_t at = form.find(field); at != std::string::npos; at = form.find(field, at + 1)) {
    ++fields;
  }
  EXPECT_EQ(fields, 2u);
  EXPECT_EQ(form.find("TOKEN="), std::string::npos);
  for (const std::string& sent :
       {std::string(""), "&TOKEN=" + std::string(64, 'a'), "&TOKEN=" + token}) {
    SCOPED_TRACE(sent);
    const CgiResult result = InSession(session, Post(kRegistration + sent));
    const bool right = sent.ends_with(token);
    EXPECT_EQ(Registered(result), right);
    EXPECT_EQ(result.out.starts_with("Status: 403 Forbidden\n"), !right);
    EXPECT_EQ(box_.CallsOf("useradd").size(), right ? 1u : 0u);
  }
}

TEST_F(LoginTest, SessionsEnd) {
  struct Case {
    const char* what;
    std::string config;
    std::function<void()> change;
    bool ends;
  };
  const std::string now = std::to_string(std::time(nullptr));
  const auto ago = [](int minutes) { return std::to_string(std::time(nullptr) - minutes * 60); };
  const std::vector<Case> cases = {
      {"used 14 minutes ago", "", [&] { SetSessionField(3, ago(14)); }, false},
      {"idle 15 minutes", "", [&] { SetSessionField(3, ago(15)); }, true},
      {"idle 2 minutes of SESSION_IDLE=2", "SESSION_IDLE=2\n", [&] { SetSessionField(3, ago(2)); },
       true},
      {"started 480 minutes ago", "", [&] { SetSessionField(2, ago(480)); }, true},
      {"a bad SESSION_MAX keeps 480", "SESSION_MAX=8h\n", [&] { SetSessionField(2, ago(479)); },
       false},
      {"password changed", "", [&] { box_.WriteFile("operators", "admin:$5$x$y:*\n"); }, true},
      {"scope changed", "",
       [&] {
         box_.WriteFile("operators",
                        std::string(kAdminLine, sizeof kAdminLine - 3) + "actions=view\n");
       },
       true},
      {"operator removed", "", [&] { box_.WriteFile("operators", ""); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(box_.PathOf(kSessionsDir));
    Configure(c.config);
    const CgiResult session = SignIn();
    c.change();
    const CgiResult page = InSession(session, Get("COMMAND=MENU"));
    EXPECT_EQ(SignInPage(page), c.ends);
    EXPECT_EQ(SessionFiles().size(), c.ends ? 0u : 1u);
  }
  EXPECT_EQ(box_.ReadFile(".stderr").find("orvanta: SESSION_MAX=8h is no whole number of minutes"),
            0u);
  Configure("");
  const CgiResult session = SignIn();
  const CgiResult out = InSession(
      session, Post("COMMAND=LOGOUT&TOKEN=" + Token(InSession(session, Get("COMMAND=MENU")))));
  EXPECT_TRUE(out.out.starts_with("Set-Cookie: orvanta=; Max-Age=0; HttpOnly; SameSite=Strict\n"));
  EXPECT_TRUE(SignInPage(out));
  EXPECT_TRUE(SessionFiles().empty());
  EXPECT_TRUE(SignInPage(InSession(session, Get("COMMAND=MENU"))));
}

TEST_F(LoginTest, SignInReturnsToTheGetAskedFor) {
  const CgiResult asked = Send(Get("COMMAND=LOG&NAME=a%26b"));
  EXPECT_TRUE(SignInPage(asked));
  EXPECT_NE(asked.out.find("NAME=\"RETURN\" VALUE=\"COMMAND=LOG&amp;NAME=a%26b\""),
            std::string::npos);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"COMMAND%3DLOG%26NAME%3Da%2526b", "COMMAND=LOG&NAME=a%26b"},
      {"COMMAND%3DLOG%26OPERATORS%3D%2Ftmp%2Fx%26TOKEN%3D1", "COMMAND=LOG"},
      {"https%3A%2F%2Fevil.example%2F%3FCOMMAND%3DLOG", "COMMAND=MENU"},
      {"COMMAND%3DLOGOUT", "COMMAND=MENU"},
  };
  for (const auto& [sent, target] : cases) {
    const CgiResult result = Send(SignInRequest(kPassword, sent));
    EXPECT_NE(result.out.find("\nLocation: ./orvanta.cgi?" + target + "\n"), std::string::npos)
        << sent;
  }
  EXPECT_TRUE(Send(Post(kRegistration)).out.starts_with("Status: 403 Forbidden\n"));
  EXPECT_TRUE(box_.CallsOf("useradd").empty());
}

TEST_F(LoginTest, GuessingOneNameStaysSlowFromAnyAddresses) {
  EXPECT_FALSE(Cookie(SignIn({}, "198.51.100.1")).empty());
  std::vector<std::string> addresses;
  for (int i = 0; i < 30; ++i) addresses.push_back("203.0.113." + std::to_string(i));
  for (const CgiResult& r : SignInsTogether(addresses, "wrong")) EXPECT_TRUE(SignInPage(r));
  const std::string too_many = Utf8(SignIn({}, "203.0.113.200").out);
  EXPECT_TRUE(too_many.starts_with("Status: 429 Too Many Requests\n"));
  EXPECT_NE(too_many.find("しばらくしてからもう一度お試しください。"), std::string::npos);
  EXPECT_FALSE(Cookie(SignIn({}, "198.51.100.1")).empty());
  EXPECT_EQ(Tool("unlock admin", "").exit_status, 0);
  EXPECT_FALSE(Cookie(SignIn({}, "203.0.113.201")).empty());

  // A burst from one address: 10 checked, the rest refused unchecked.
  size_t checked = 0, refused = 0;
  for (const CgiResult& r : SignInsTogether(std::vector<std::string>(20, "192.0.2.99"), "wrong")) {
    checked += SignInPage(r);
    refused += r.out.starts_with("Status: 429 ");
  }
  EXPECT_EQ(checked, 10u);
  EXPECT_EQ(refused, 10u);

  // Good sign-ins side by side all get in.
  std::set<std::string> cookies;
  for (const CgiResult& r : SignInsTogether(std::vector<std::string>(8, "192.0.2.98"), kPassword)) {
    cookies.insert(Cookie(r));
  }
  cookies.erase("");
  EXPECT_EQ(cookies.size(), 8u);

  // Addresses of 120,000 bytes leave 64 of them in the counts and sessions.
  addresses.clear();
  for (char c : std::string("abcde")) addresses.push_back(std::string(120000, c));
  SignInsTogether(addresses, "wrong");
  SignIn({}, std::string(120000, 'f'));
  struct stat info {};
  ASSERT_EQ(stat(box_.PathOf("orvanta.lock.logins").c_str(), &info), 0);
  EXPECT_LT(info.st_size, 2000);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(box_.ReadFile("orvanta.lock.logins").find("\n" + std::string(64, 'f') + " admin "),
            std::string::npos);
  for (const std::string& file : SessionFiles()) {
    EXPECT_EQ(box_.ReadFile(std::string(kSessionsDir) + "/" + file).find(std::string(65, 'f')),
              std::string::npos);
  }
}

TEST_F(LoginTest, BasicCredentialsOnlyWithAuthBasic) {
  const CgiResult ignored = Send(Post(kRegistration), {kBasicGood});
  EXPECT_TRUE(ignored.out.starts_with("Status: 403 Forbidden\n"));
  EXPECT_FALSE(box_.Exists("orvanta.lock.logins"));
  Configure("AUTH_BASIC=YES\n");
  EXPECT_TRUE(Registered(Send(Post(kRegistration), {kBasicGood})));
  EXPECT_TRUE(Send(Get("COMMAND=MENU"), {"HTTP_AUTHORIZATION=Basic YWRtaW46d3Jvbmc="})
                  .out.starts_with("Status: 401 Unauthorized\n"));
  EXPECT_EQ(box_.CallsOf("useradd").size(), 1u);
}

TEST_F(LoginTest, RequireHttpsRefusesClearTextFromAfar) {
  struct Case {
    const char* setting;
    std::vector<std::string> env;
    const char* address;
    bool refused, warned;
  };
  const std::vector<Case> cases = {
      {"", {}, kAddress, false, true},    {"NO", {}, "127.0.0.1", false, false},
      {"YES", {}, kAddress, true, false}, {"yes", {}, kAddress, true, false},
      {"YES", {}, "::1", false, false},   {"YES", {"HTTPS=on"}, kAddress, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + " " + c.address);
    Configure("REQUIRE_HTTPS=" + std::string(c.setting) + "\n");
    const std::string page = Utf8(Send(Get("COMMAND=MENU"), c.env, c.address).out);
    EXPECT_EQ(page.starts_with("Status: 403 Forbidden\n"), c.refused);
    EXPECT_EQ(page.find(kSignInForm) != std::string::npos, !c.refused);
    EXPECT_EQ(page.find("パスワードは平文のまま送られます。") != std::string::npos, c.warned);
  }
}

TEST_F(LoginTest, FullAdministratorsSeeAndEndSessions) {
  box_.WriteFile(
      "operators",
      std::string(kAdminLine) +
          "teacher:$5$MX6VcZh77piiplm0$6dKuwItSohPe489l9OEmuLYO2RGsd8psKxUZR6MhYJB:actions=view\n");
  const CgiResult admin = SignIn();
  const CgiResult teacher =
      Send(Post("COMMAND=LOGIN&OPERATOR=teacher&PASSWORD=s3cret+pass"), {}, "192.0.2.77");
  const std::string list = Utf8(InSession(admin, Get("COMMAND=SESSIONS")).out);
  EXPECT_NE(list.find("<TD NOWRAP>teacher</TD><TD NOWRAP>192.0.2.77</TD>"), std::string::npos);
  EXPECT_NE(list.find("admin（このセッション）"), std::string::npos);
  EXPECT_NE(
      Utf8(InSession(teacher, Get("COMMAND=SESSIONS")).out).find("この操作は許可されていません。"),
      std::string::npos);
  const std::string token = Token(InSession(admin, Get("COMMAND=MENU")));
  InSession(admin, Post("COMMAND=SESSIONS&OPERATOR=teacher&TOKEN=" + token));
  EXPECT_TRUE(SignInPage(InSession(teacher, Get("COMMAND=MENU"))));
  EXPECT_FALSE(SignInPage(InSession(admin, Get("COMMAND=MENU"))));
}

TEST_F(LoginTest, OperatorToolRoundTrip) {
  // The fixture's file is readable by others: refused, then started afresh.
  EXPECT_EQ(Tool("add admin", "first pass\n").exit_status, 1);
  ASSERT_EQ(unlink(box_.PathOf("operators").c_str()), 0);
  EXPECT_EQ(Tool("add admin", "first pass\n").exit_status, 0);
  EXPECT_EQ(Tool("add admin", "again\n").exit_status, 1);
  EXPECT_EQ(Tool("add Bad:Name", "x\n").exit_status, 1);
  EXPECT_EQ(Tool("add teacher --scope 'groups=class2026'", "t pass\n").exit_status, 0);
  EXPECT_EQ(Tool("passwd admin", "s3cret pass\n").exit_status, 0);
  EXPECT_EQ(Tool("remove teacher", "").exit_status, 0);
  EXPECT_EQ(Tool("list", "").out, "admin *\n");
  struct stat info {};
  ASSERT_EQ(stat(box_.PathOf("operators").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(box_.ReadFile("operators").rfind("admin:$y$", 0), std::string::npos);
  EXPECT_FALSE(Cookie(SignIn()).empty());
}

}  // namespace
}  // namespace orvanta::test
