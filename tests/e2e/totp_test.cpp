// The second factor: after the password an enrolled operator's session
// opens nothing until a code of the authenticator (one step either side of
// now, each step once) or an unused recovery code comes; two requests with
// one code let one in; TOTP=required leaves an operator without a secret
// only the enrolment page; a reset ends the sessions; Basic credentials,
// which carry no code, are refused for such operators.
#include <gtest/gtest.h>
#include <liboath/oath.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "access/access.h"
#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/sessions.h"

namespace orvanta::test {
namespace {

constexpr char kSignIn[] = "COMMAND=LOGIN&OPERATOR=admin&PASSWORD=s3cret+pass";
constexpr char kSecret[] = "3132333435363738393031323334353637383930";
constexpr char kRecoveryCode[] = "ABCDEFGHIJ";
constexpr char kSignedInAs[] = "ログイン中: admin";
constexpr char kWrongCode[] = "確認コードが違います。";
constexpr char kEnrolFirst[] = "確認コードを登録するまで、この画面は開けません。";
constexpr char kCodeForm[] = "NAME=\"CODE\"";

bool Has(const CgiResult& r, const std::string& text) {
  return Utf8(r.out).find(text) != std::string::npos;
}

// The code of the raw secret for the step `steps` away from now.
std::string CodeOf(const std::string& key, int steps) {
  char code[kTotpDigits + 1] = {};
  oath_totp_generate(key.data(), key.size(), std::time(nullptr) + std::time_t{steps} * kTotpStepSeconds,
                     kTotpStepSeconds, OATH_TOTP_DEFAULT_START_TIME, kTotpDigits, code);
  return code;
}
std::string Code(int steps) { return CodeOf(*HexBytes(kSecret), steps); }

// Codes made within a step's last seconds might be checked in the next
// one (a wrong code waits 2 seconds where the waits are not shortened).
void AwayFromStepEdge() {
  constexpr unsigned kMargin = 6;
  const auto into = static_cast<unsigned>(std::time(nullptr) % kTotpStepSeconds);
  if (into + kMargin >= kTotpStepSeconds) sleep(kTotpStepSeconds - into + 1);
}

class TotpTest : public ::testing::Test {
 protected:
  TotpTest() { Configure(""); }

  void Configure(const std::string& extra) const {
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nOPERATORS=" + box_.PathOf("operators") +
                   "\nLOCKFILE=" + box_.PathOf("orvanta.lock") + "\n" + extra);
    box_.SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\n");
    box_.WriteFile("operators", kAdminLine);
    chmod(box_.PathOf("operators").c_str(), 0600);
  }
  // admin enrolled with kSecret, no code taken yet, one recovery code.
  void Enrol() const {
    box_.WriteFile("operators.totp", "admin 1 " + std::string(kSecret) + " 0 " +
                                         Sha256Hex(kRecoveryCode) + " - - 0\n");
    chmod(box_.PathOf("operators.totp").c_str(), 0600);
  }
  CgiResult Send(CgiRequest request, const std::string& cookie = "",
                 std::vector<std::string> env = {}) const {
    if (!cookie.empty()) env.push_back("HTTP_COOKIE=" + cookie);
    request.extra_env = std::move(env);
    return box_.Run(request, {}, kShortWaitsProgram);
  }
  CgiRequest CodeRequest(const std::string& code) const {
    return Post("COMMAND=LOGIN&CODE=" + code);
  }
  // The password, then the code: the final answer.
  CgiResult SignInWith(const std::string& code) const {
    const CgiResult pending = Send(Post(kSignIn));
    EXPECT_TRUE(Has(pending, kCodeForm)) << pending.out;
    EXPECT_FALSE(Has(Send(Get("COMMAND=MENU"), Cookie(pending)), kSignedInAs));
    const CgiResult result = Send(CodeRequest(code), Cookie(pending));
    if (!Cookie(result).empty()) {
      EXPECT_NE(Cookie(result), Cookie(pending));
    }
    return result;
  }
  bool LetIn(const CgiResult& result) const {
    return result.out.starts_with("Status: 303 See Other\nLocation: ./orvanta.cgi?COMMAND=MENU\n") &&
           Has(Send(Get("COMMAND=MENU"), Cookie(result)), kSignedInAs);
  }
  CgiResult Tool(const std::string& arguments) const {
    return box_.Run(Post(""), {"/bin/sh", "-c",
                               std::string("exec ") + ORVANTA_OPERATOR_TOOL_PATH + " " +
                                   arguments + " --config cfg_file.cfg"});
  }

  CgiSandbox box_;
};

TEST_F(TotpTest, EachCodeOnceWithinOneStepOfNow) {
  // The codes in turn, and whether each lets in; made when the case starts.
  using Attempts = std::vector<std::pair<std::string, bool>>;
  struct Case {
    const char* what;
    std::function<Attempts()> attempts;
  };
  const std::vector<Case> cases = {
      {"the step before now", [] { return Attempts{{Code(-1), true}}; }},
      {"the step after now", [] { return Attempts{{Code(1), true}}; }},
      {"two steps back", [] { return Attempts{{Code(-2), false}}; }},
      {"two steps ahead", [] { return Attempts{{Code(2), false}}; }},
      {"a code replayed", [] { return Attempts{{Code(0), true}, {Code(0), false}}; }},
      {"an earlier step after a later one",
       [] { return Attempts{{Code(1), true}, {Code(0), false}}; }},
      {"a recovery code used twice",
       [] { return Attempts{{"abcde-fghij", true}, {kRecoveryCode, false}}; }},
      {"no code", [] { return Attempts{{"", false}}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Enrol();
    AwayFromStepEdge();
    for (const auto& [code, lets_in] : c.attempts()) {
      const CgiResult result = SignInWith(code);
      EXPECT_EQ(LetIn(result), lets_in) << result.out;
      EXPECT_EQ(Has(result, kWrongCode), !lets_in);
    }
  }
}

TEST_F(TotpTest, WrongCodesAreFailedSignIns) {
  Enrol();
  const std::string pending = Cookie(Send(Post(kSignIn)));
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(Has(Send(CodeRequest("000000"), pending), kWrongCode));
  EXPECT_TRUE(Send(Post(kSignIn)).out.starts_with("Status: 429 Too Many Requests\n"));
}

TEST_F(TotpTest, TwoRequestsWithOneCodeLetOneIn) {
  Enrol();
  for (const int step : {-1, 0, 1}) {
    SCOPED_TRACE(step);
    AwayFromStepEdge();
    std::vector<CgiRequest> requests;
    for (int i = 0; i < 2; ++i) {
      requests.push_back(CodeRequest(Code(step)));
      requests.back().extra_env = {"HTTP_COOKIE=" + Cookie(Send(Post(kSignIn)))};
    }
    int let_in = 0;
    for (const CgiResult& result : box_.RunTogether(requests, kShortWaitsProgram)) {
      let_in += LetIn(result);
    }
    EXPECT_EQ(let_in, 1);
  }
}

TEST_F(TotpTest, WhatThePasswordLeadsTo) {
  struct Case {
    const char* setting;
    bool enrolled;
    const char* form_leads_to;  // the answer's start
    bool basic;                 // Basic credentials let in
  };
  const std::vector<Case> cases = {
      {"", false, "Status: 303 See Other\nLocation: ./orvanta.cgi?COMMAND=MENU\n", true},
      {"", true, "Set-Cookie: orvanta=", false},
      {"TOTP=optional\n", true, "Set-Cookie: orvanta=", false},
      {"TOTP=off\n", true, "Status: 303 See Other\nLocation: ./orvanta.cgi?COMMAND=MENU\n", true},
      {"TOTP=required\n", false, "Status: 303 See Other\nLocation: ./orvanta.cgi?COMMAND=TOTP\n",
       false},
      {"TOTP=yes\n", false, "Status: 303 See Other\nLocation: ./orvanta.cgi?COMMAND=TOTP\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + (c.enrolled ? " enrolled" : ""));
    Configure("AUTH_BASIC=YES\n" + std::string(c.setting));
    if (c.enrolled) {
      Enrol();
    } else {
      unlink(box_.PathOf("operators.totp").c_str());
    }
    EXPECT_TRUE(Send(Post(kSignIn)).out.starts_with(c.form_leads_to));
    const CgiResult basic = Send(Get("COMMAND=MENU"), "", {kBasicGood});
    EXPECT_EQ(basic.out.find("COMMAND=VIEW") != std::string::npos, c.basic);
    EXPECT_EQ(basic.out.starts_with("Status: 401 Unauthorized\n"), !c.basic);
  }
}

// From the enrolment page: nothing but it opens, the secret never travels
// in a form, and a code of it makes a new session and ten recovery codes.
TEST_F(TotpTest, RequiredLeavesOnlyEnrolment) {
  Configure("TOTP=required\n");
  const std::string first = Cookie(Send(Post(kSignIn)));
  for (const char* page : {"COMMAND=MENU", "COMMAND=VIEW", "COMMAND=SESSIONS"}) {
    const CgiResult refused = Send(Get(page), first);
    EXPECT_TRUE(refused.out.starts_with("Status: 403 Forbidden\n")) << page;
    EXPECT_TRUE(Has(refused, kEnrolFirst)) << page;
  }
  const std::string token = Token(Send(Get("COMMAND=TOTP"), first));
  const CgiResult wrong =
      Send(Post("COMMAND=TOTP&STEP=NEW&PASSWORD=wrong&TOKEN=" + token), first);
  EXPECT_TRUE(Has(wrong, "パスワードまたは確認コードが違います。"));
  const CgiResult shown =
      Send(Post("COMMAND=TOTP&STEP=NEW&PASSWORD=s3cret+pass&TOKEN=" + token), first);
  const std::string secret = Field(shown.out, "<TT ID=\"secret\">([A-Z2-7]{32})</TT>");
  ASSERT_FALSE(secret.empty()) << shown.out;
  EXPECT_EQ(shown.out.find("VALUE=\"" + secret), std::string::npos);
  EXPECT_NE(shown.out.find("<svg xmlns="), std::string::npos);
  char* key = nullptr;
  size_t key_length = 0;
  ASSERT_EQ(oath_base32_decode(secret.data(), secret.size(), &key, &key_length), OATH_OK);
  const std::string raw(key, key_length);
  free(key);
  AwayFromStepEdge();
  const CgiResult done = Send(
      Post("COMMAND=TOTP&STEP=CONFIRM&CODE=" + CodeOf(raw, 0) + "&TOKEN=" + token), first);
  const std::string codes = Field(done.out, "<PRE ID=\"recovery\">\n((?:[A-Z2-7]{10}\n){10})</PRE>");
  EXPECT_FALSE(codes.empty()) << done.out;
  EXPECT_FALSE(Has(Send(Get("COMMAND=TOTP"), first), kSignedInAs));
  EXPECT_TRUE(Has(Send(Get("COMMAND=MENU"), Cookie(done)), kSignedInAs));
  EXPECT_TRUE(LetIn(SignInWith(codes.substr(0, kRecoveryCodeLength))));
}

TEST_F(TotpTest, ResetEndsTheSessions) {
  Enrol();
  AwayFromStepEdge();
  const CgiResult session = SignInWith(Code(0));
  ASSERT_TRUE(LetIn(session));
  EXPECT_EQ(Tool("totp-reset admin").exit_status, 0);
  EXPECT_FALSE(Has(Send(Get("COMMAND=MENU"), Cookie(session)), kSignedInAs));
  EXPECT_TRUE(LetIn(Send(Post(kSignIn))));
  EXPECT_EQ(Tool("totp-codes admin").exit_status, 1);
  EXPECT_EQ(Tool("totp-reset nobody").exit_status, 1);
}

}  // namespace
}  // namespace orvanta::test
