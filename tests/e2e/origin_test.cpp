// Requests from other sites, values that hold the form encoding's own
// separators, and bodies too large to read: nothing runs, nothing is logged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr char kForbidden[] = "Status: 403 Forbidden\n";

class OriginTest : public ::testing::Test {
 protected:
  OriginTest() {
    std::string config = "SYSTEMUID=999\nSYSTEMGID=999\n";
    for (const char* tool : {"useradd", "usermod", "userdel", "groupadd", "groupdel"}) {
      std::string key(tool);
      for (char& c : key) c = static_cast<char>(std::toupper(c));
      config += key + "=" + box_.AddRecordingTool(tool, 0) + "\n";
    }
    box_.SetConfig(config);
    box_.SetAccounts("root:x:0:0:root:/root:/bin/bash\ntaro:x:1001:1100:x:/home/taro:/bin/sh\n"
                     "bob:x:1002:1100::/home/bob:/bin/sh\n",
                     "root:x:0:\nstaff:x:1100:\ndevel:x:1200:\n");
  }

  CgiResult PostWith(const std::string& body, const std::vector<std::string>& env) const {
    CgiRequest request = Post(body);
    request.extra_env = env;
    return box_.Run(request);
  }

  size_t ToolCalls() const {
    size_t calls = 0;
    for (const char* tool : {"useradd", "usermod", "userdel", "groupadd", "groupdel"}) {
      calls += box_.CallsOf(tool).size();
    }
    return calls;
  }

  CgiSandbox box_;
};

// Every command a POST reaches, with a source from another site, this site,
// or none at all.
TEST_F(OriginTest, RefusesEveryPostFromAnotherSite) {
  const std::vector<std::string> bodies = {
      "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&UID=&GID=staff&GCOS=&DIR=/home/&SHELL=/bin/sh",
      "COMMAND=WILLBEMOD&NAME=taro",
      "COMMAND=TOBEMOD&NAME=taro&CHKSHELL=on&SHELL=/bin/sh",
      "COMMAND=WILLBEDEL&NAME=taro",
      "COMMAND=GP_WILLBEADD&GNAME=devops&GID=",
      "COMMAND=GP_WILLBEDEL&GNAME=devel",
      "COMMAND=GP_TOBEMEM&GNAME=devel&ADDNAME=taro",
      "COMMAND=TOBELOCK&NAME=taro&ACTION=LOCK",
      "COMMAND=DEFAULT",
      "COMMAND=NOSUCH",
  };
  const std::string refused =
      kForbidden + Utf8(MessagePage("他のサイトからの要求は受け付けません。<BR>\n"));
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    const size_t calls_before = ToolCalls();
    const std::string log_before = box_.ReadFile("orvanta.log");
    for (const std::vector<std::string>& env :
         {std::vector<std::string>{"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://evil.example"},
          std::vector<std::string>{"HTTP_HOST=admin.example",
                                   "HTTP_REFERER=http://evil.example/page.html"}}) {
      EXPECT_EQ(Utf8(PostWith(body, env).out), refused);
    }
    EXPECT_EQ(ToolCalls(), calls_before);
    EXPECT_EQ(box_.ReadFile("orvanta.log"), log_before);
    const std::string same =
        PostWith(body, {"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://admin.example"}).out;
    EXPECT_EQ(same.rfind(PageHeader(), 0), 0u);
    const std::string none = PostWith(body, {"HTTP_HOST=admin.example"}).out;
    EXPECT_EQ(none.rfind(PageHeader(), 0), 0u);
  }
  EXPECT_GT(ToolCalls(), 0u);
  const std::string log = box_.ReadFile(".stderr");
  EXPECT_NE(log.find("192.0.2.10"), std::string::npos) << log;
  EXPECT_NE(log.find("http://evil.example"), std::string::npos) << log;
}

struct HeaderCase {
  std::vector<std::string> env;
  bool accepted;
};

// The request's own origin against the browser's source, normalised alike.
TEST_F(OriginTest, ComparesOriginsAsSchemeHostAndPort) {
  const std::vector<HeaderCase> cases = {
      {{"HTTP_HOST=Admin.Example", "HTTP_ORIGIN=http://admin.example"}, true},
      {{"HTTP_HOST=admin.example:80", "HTTP_ORIGIN=http://admin.example"}, true},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://admin.example:80"}, true},
      {{"HTTP_HOST=admin.example", "HTTPS=on", "HTTP_ORIGIN=https://admin.example:443"}, true},
      {{"HTTP_HOST=admin.example", "HTTPS=ON", "HTTP_ORIGIN=https://admin.example"}, true},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=https://admin.example"}, false},
      {{"HTTP_HOST=admin.example", "HTTPS=on", "HTTP_ORIGIN=http://admin.example"}, false},
      {{"HTTP_HOST=admin.example:8080", "HTTP_ORIGIN=http://admin.example"}, false},
      {{"HTTP_HOST=admin.example:8080", "HTTP_ORIGIN=http://admin.example:8080"}, true},
      {{"SERVER_NAME=admin.example", "SERVER_PORT=8080", "HTTP_ORIGIN=http://admin.example:8080"},
       true},
      {{"SERVER_NAME=admin.example", "SERVER_PORT=80", "HTTP_ORIGIN=http://admin.example"}, true},
      {{"HTTP_HOST=admin.example", "HTTP_REFERER=http://admin.example/orvanta/?COMMAND=ADD"},
       true},
      {{"HTTP_HOST=admin.example", "HTTP_REFERER=http://evil.example/?http://admin.example"},
       false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://admin.example@evil.example"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_REFERER=http://admin.example@evil.example/"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://admin.example.evil"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://evil-admin.example"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=null"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=admin.example"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN=javascript://admin.example"}, false},
      {{"HTTP_HOST=admin.example", "HTTP_ORIGIN="}, true},  // empty counts as missing
      {{"HTTP_ORIGIN=http://admin.example"}, false},          // no own origin to match
  };
  for (const HeaderCase& c : cases) {
    std::string shown;
    for (const std::string& entry : c.env) shown += entry + " ";
    const std::string out = PostWith("COMMAND=DEFAULT", c.env).out;
    EXPECT_EQ(out.rfind(kForbidden, 0) != 0, c.accepted) << shown;
  }
}

// Behind a TLS-terminating proxy the public origin is listed in the settings;
// an entry that is not an origin is ignored with a line on stderr.
TEST_F(OriginTest, TrustedOriginsAndRequestParametersNamedLikeHeaders) {
  box_.SetConfig(box_.ReadFile("cfg_file.cfg") +
                 "TRUSTED_ORIGINS=https://admin.example.org  not-an-origin http://intra:8080\n");
  const std::string proxied = "HTTP_HOST=127.0.0.1:8080";
  for (const auto& [origin, accepted] : std::vector<std::pair<std::string, bool>>{
           {"https://admin.example.org", true},
           {"https://ADMIN.example.org:443", true},
           {"http://intra:8080", true},
           {"http://admin.example.org", false},
           {"not-an-origin", false}}) {
    const std::string out = PostWith("COMMAND=DEFAULT", {proxied, "HTTP_ORIGIN=" + origin}).out;
    EXPECT_EQ(out.rfind(kForbidden, 0) != 0, accepted) << origin;
  }
  EXPECT_NE(box_.ReadFile(".stderr").find("not-an-origin"), std::string::npos);

  // Headers come from the environment only: a parameter cannot pose as one.
  for (const std::string& body :
       {std::string("HTTP_HOST=evil.example&COMMAND=DEFAULT"),
        std::string("COMMAND=DEFAULT&HTTPS=on&SERVER_NAME=evil.example&HTTP_ORIGIN=x")}) {
    const std::string out =
        PostWith(body, {"HTTP_HOST=admin.example", "HTTP_ORIGIN=http://evil.example"}).out;
    EXPECT_EQ(out.rfind(kForbidden, 0), 0u) << body;
  }
  const std::string list = box_.Run(Get("COMMAND=VIEW&TRUSTED_ORIGINS=x&HTTP_HOST=y")).out;
  EXPECT_EQ(list.rfind(PageHeader(), 0), 0u);
  EXPECT_EQ(list.find("TRUSTED"), std::string::npos);
}

// With REQUIRE_AUTH=YES a request the web server authenticated nobody for is
// refused before anything else, GET included; with a value that is neither
// YES nor NO every request is.
TEST_F(OriginTest, RequireAuthRefusesUnauthenticatedRequests) {
  const std::string settings = box_.ReadFile("cfg_file.cfg");
  box_.SetConfig(settings + "REQUIRE_AUTH=YES\n");
  const std::string refused =
      kForbidden + Utf8(MessagePage("認証されていない要求は受け付けません。<BR>\n<BR>\n"));
  CgiRequest list = Get("COMMAND=VIEW");
  EXPECT_EQ(Utf8(box_.Run(list).out), refused);
  list.extra_env = {"REMOTE_USER="};
  EXPECT_EQ(Utf8(box_.Run(list).out), refused);
  EXPECT_EQ(Utf8(PostWith("COMMAND=WILLBEDEL&NAME=taro&REMOTE_USER=admin",
                          {"HTTP_HOST=a.example", "HTTP_ORIGIN=http://evil.example"})
                     .out),
            refused);
  list.extra_env = {"REMOTE_USER=admin"};
  EXPECT_EQ(box_.Run(list).out.rfind(PageHeader(), 0), 0u);
  box_.SetConfig(settings + "REQUIRE_AUTH=yes\n");
  EXPECT_EQ(Utf8(box_.Run(list).out), refused);
  EXPECT_EQ(box_.ReadFile(".stderr"),
            "orvanta: REQUIRE_AUTH=yes is none of NO, YES or empty: every request is refused\n");
  EXPECT_EQ(ToolCalls(), 0u);
}

// An encoded '&' or '=' stays inside its value: the modification form's own
// comment cannot add a command or a name to the request.
TEST_F(OriginTest, EncodedSeparatorsStayInsideTheirValue) {
  const CgiResult result = box_.Run(
      Post("COMMAND=TOBEMOD&NAME=taro&CHKGCOS=on&GCOS=x%26COMMAND%3DWILLBEDEL%26NAME%3Dbob%26"));
  EXPECT_NE(Utf8(result.out).find("ユーザー情報を変更しました。"), std::string::npos);
  const auto calls = box_.CallsOf("usermod");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (std::vector<std::string>{"-c", "x&COMMAND=WILLBEDEL&NAME=bob&", "taro"}));
  EXPECT_TRUE(box_.CallsOf("userdel").empty());
}

}  // namespace
}  // namespace orvanta::test
