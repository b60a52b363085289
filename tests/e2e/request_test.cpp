// The request as the web server hands it over: methods, lengths, unknown
// commands, error pages, settings the request may not touch, root rights.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <regex>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr char kUnknownCommand[] = "未実装の命令です<BR>\n";

std::string UnknownCommandPage(const std::string& quoted) {
  return MessagePage(kUnknownCommand + quoted + "\n<BR>\n");
}

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.SetAccounts("root:x:0:0:root:/root:/bin/bash\ntaro:x:1000:100:T:/home/taro:/bin/sh\n",
                     "root:x:0:\nusers:x:100:\n");
  }
  std::string ListPage() { return box_.Run(Get("COMMAND=VIEW")).out; }
  CgiSandbox box_;
};

TEST_F(RequestTest, WithoutRequestMethodWritesOnlyTheNotice) {
  CgiRequest request;
  request.method = std::nullopt;
  const CgiResult result = box_.Run(request);
  EXPECT_EQ(result.out,
            ProgramTitle() + Euc("はCGIプログラムです。コマンドラインがら動かすことはできません。\n"));
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(RequestTest, MissingOrBadLengthGivesCode2) {
  const std::string page = MessagePage("CGIのエラーです。データの長さが設定されていません。\n<BR>\n");
  for (const char* length : {"0", "-5", "abc", "", "  0x0"}) {
    CgiRequest request = Post("COMMAND=DEFAULT");
    request.content_length = length;
    const CgiResult result = box_.Run(request);
    EXPECT_EQ(Utf8(result.out), Utf8(page)) << "CONTENT_LENGTH=" << length;
    EXPECT_EQ(result.exit_status, 0);
  }
  CgiRequest no_query = Get("");
  no_query.query = std::nullopt;
  EXPECT_EQ(box_.Run(no_query).out, page);
}

TEST_F(RequestTest, PostWithoutContentLengthGivesCode2) {
  // The method goes in through extra_env so that the harness does not
  // derive a length from the body.
  CgiRequest request;
  request.method = std::nullopt;
  request.query = "COMMAND=VIEW";
  request.body = "COMMAND=DEFAULT";
  request.extra_env = {"REQUEST_METHOD=POST"};
  EXPECT_EQ(box_.Run(request).out,
            MessagePage("CGIのエラーです。データの長さが設定されていません。\n<BR>\n"));
}

TEST_F(RequestTest, LengthIsReadWithItsBase) {
  CgiRequest hex = Post("COMMAND=DEFAULTXYZ");
  hex.content_length = "0x10";
  EXPECT_EQ(box_.Run(hex).out, UnknownCommandPage("COMMAND=DEFAULTX"));
  CgiRequest octal = Post("COMMAND=DEFAULT");
  octal.content_length = "010";
  EXPECT_EQ(box_.Run(octal).out, UnknownCommandPage("COMMAND="));
}

TEST_F(RequestTest, PostIgnoresTheQueryString) {
  CgiRequest request = Post("COMMAND=DEFAULT");
  request.query = "COMMAND=GVIEW";
  EXPECT_EQ(box_.Run(request).out, ListPage());
}

TEST_F(RequestTest, UnknownCommandsQuoteTheDecodedRequestEscaped) {
  const std::vector<std::pair<CgiRequest, std::string>> cases = {
      {Get("SORT=x"), "SORT=x"},
      {Get("COMMAND=WILLBEADD&NAME=a"), "COMMAND=WILLBEADD&amp;NAME=a"},
      {Get("COMMAND=view"), "COMMAND=view"},
      {Post("COMMAND=VIEW"), "COMMAND=VIEW"},
      {Post("COMMAND=ADD"), "COMMAND=ADD"},
      {Get("COMMAND=%3Cscript%3Ealert(1)%3C/script%3E&PASS=secret+word"),
       "COMMAND=&lt;script&gt;alert(1)&lt;/script&gt;&amp;PASS=secret word"},
      {Get("COMMAND=x%22%27"), "COMMAND=x&quot;&#39;"},
      {Get("COMMAND=%A4%A2"), "COMMAND=あ"},
  };
  for (const auto& [request, quoted] : cases) {
    const CgiResult result = box_.Run(request);
    EXPECT_EQ(Utf8(result.out), Utf8(UnknownCommandPage(quoted)));
    EXPECT_EQ(result.exit_status, 0);
  }
}

TEST_F(RequestTest, OtherMethodsGiveCode111WithAnEmptyText) {
  box_.SetConfig("COMMAND=DEFAULT\n");
  for (const char* method : {"PUT", "post", "get", "HEAD", ""}) {
    CgiRequest request = Get("COMMAND=VIEW");
    request.method = method;
    EXPECT_EQ(box_.Run(request).out, UnknownCommandPage("")) << method;
  }
}

TEST_F(RequestTest, RequestCannotPoseAsAnotherMethod) {
  const std::string userdel = box_.AddRecordingTool("userdel", 0);
  box_.SetConfig("USERDEL=" + userdel + "\n");
  const CgiResult result = box_.Run(Get("REQUEST_METHOD=POST&COMMAND=WILLBEDEL&NAME=taro"));
  EXPECT_EQ(result.out, UnknownCommandPage("REQUEST_METHOD=POST&amp;COMMAND=WILLBEDEL&amp;NAME=taro"));
  EXPECT_TRUE(box_.CallsOf("userdel").empty());
  EXPECT_FALSE(box_.Exists("orvanta.log"));
}

TEST_F(RequestTest, RequestCannotNameTheToolOrTheAddress) {
  const std::string groupadd = box_.AddRecordingTool("groupadd", 0);
  const std::string evil = box_.AddRecordingTool("evil", 0);
  box_.SetConfig("GROUPADD=" + groupadd + "\n");
  CgiRequest request = Post("COMMAND=GP_WILLBEADD&GNAME=dev&GROUPADD=" + evil +
                            "&REMOTE_ADDR=6.6.6.6&SYSTEMGID=0");
  request.remote_addr = "192.0.2.77";
  box_.Run(request);
  EXPECT_TRUE(box_.CallsOf("evil").empty());
  EXPECT_EQ(box_.CallsOf("groupadd"), (std::vector<std::vector<std::string>>{{"dev"}}));
  EXPECT_TRUE(std::regex_match(box_.ReadFile("orvanta.log"),
                               std::regex("GADD,dev,192\\.0\\.2\\.77,[0-9/: ]{16}\n")))
      << box_.ReadFile("orvanta.log");
}

TEST_F(RequestTest, MissingRemoteAddrIsEmpty) {
  const std::string groupadd = box_.AddRecordingTool("groupadd", 0);
  box_.SetConfig("GROUPADD=" + groupadd + "\n");
  CgiRequest request = Post("COMMAND=GP_WILLBEADD&GNAME=dev");
  request.remote_addr = std::nullopt;
  box_.Run(request);
  EXPECT_TRUE(std::regex_match(box_.ReadFile("orvanta.log"), std::regex("GADD,dev,,[0-9/: ]{16}\n")));
}

TEST_F(RequestTest, SettingsReplaceRequestParameters) {
  box_.SetConfig("COMMAND=DEFAULT\n");
  EXPECT_EQ(box_.Run(Get("COMMAND=ADD")).out, box_.Run(Get("")).out);
  EXPECT_NE(box_.Run(Get("")).out.find("<TD>taro</TD>"), std::string::npos);
}

TEST_F(RequestTest, WithoutRootRightsGivesCode110AndRunsNothing) {
  const std::string userdel = box_.AddRecordingTool("userdel", 0);
  box_.SetConfig("USERDEL=" + userdel + "\n");
  const std::string copy = box_.PathOf("unprivileged.cgi");
  std::filesystem::copy_file(CgiProgramPath(), copy);
  chmod(copy.c_str(), 0755);
  const CgiResult result =
      box_.Run(Post("COMMAND=WILLBEDEL&NAME=taro"),
               {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, copy);
  EXPECT_EQ(Utf8(result.out),
            Utf8(MessagePage("root権限を得ることができませんでした<BR>\n"
                             "orvantaのインストールが不完全です。<BR>\n<BR>\n")));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(box_.CallsOf("userdel").empty());
}

// Installed set-user-ID root, the program reads only a settings file that
// nobody but root can have written.
TEST_F(RequestTest, SetuidRunTrustsOnlyARootOwnedSettingsFile) {
  struct statvfs mount {};
  ASSERT_EQ(statvfs(box_.dir().c_str(), &mount), 0);
  if ((mount.f_flag & ST_NOSUID) != 0) GTEST_SKIP() << box_.dir() << " is mounted nosuid";
  const std::string copy = box_.PathOf("setuid.cgi");
  std::filesystem::copy_file(CgiProgramPath(), copy);
  ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
  const std::string cfg = box_.PathOf("cfg_file.cfg");
  const auto shell_offered = [&] {
    const CgiResult result =
        box_.Run(Get("COMMAND=ADD"),
                 {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, copy);
    EXPECT_NE(result.out.find("<TITLE>"), std::string::npos) << result.out;
    return result.out.find("<OPTION VALUE=\"/bin/trusted\" SELECTED>") != std::string::npos;
  };
  box_.SetConfig("SHELL1=/bin/trusted\nSYSTEMGID=-1\n");
  chmod(cfg.c_str(), 0644);
  EXPECT_TRUE(shell_offered()) << "root-owned, 0644";
  chmod(cfg.c_str(), 0664);
  EXPECT_FALSE(shell_offered()) << "group-writable";
  chmod(cfg.c_str(), 0646);
  EXPECT_FALSE(shell_offered()) << "writable by others";
  chmod(cfg.c_str(), 0644);
  ASSERT_EQ(chown(cfg.c_str(), 65534, 65534), 0);
  EXPECT_FALSE(shell_offered()) << "owned by another user";
}

// Bodies and query strings that are long, cut short or malformed give a
// page and status 0, never a crash (the sanitizer build runs these too).
TEST_F(RequestTest, MalformedInputAlwaysGetsAPage) {
  std::vector<CgiRequest> requests;
  for (const char* text : {"%", "%%", "%%%", "a=%0", "a=%", "&&&&", "====", "=&=&=", "%00",
                           "COMMAND=%zz", "COMMAND", "&COMMAND=VIEW", "COMMAND=VIEW&"}) {
    requests.push_back(Get(text));
    requests.push_back(Post(text));
  }
  requests.push_back(Get(std::string(100000, 'A')));  // the environment holds 128 KiB at most
  requests.push_back(Post("COMMAND=" + std::string((1 << 20) - 8, '%')));  // 1 MiB, the most read
  requests.push_back(Post("COMMAND=WILLBEDEL&" + std::string(200000, '&') + "NAME=root"));
  CgiRequest truncated = Post("COMMAND=DEFAULT");
  truncated.content_length = std::to_string(1 << 20);
  requests.push_back(truncated);
  std::mt19937 random(7);
  for (int i = 0; i < 20; ++i) {
    std::string noise(static_cast<size_t>(random() % 300), '\0');
    for (char& c : noise) c = static_cast<char>(random() % 256);
    requests.push_back(Post(noise));
    requests.push_back(Get(noise.substr(0, noise.find('\0'))));
  }
  for (const CgiRequest& request : requests) {
    const CgiResult result = box_.Run(request);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out.rfind(PageHeader(), 0), 0u);
    EXPECT_EQ(result.out.substr(result.out.size() - PageFooter().size()), PageFooter());
  }
  EXPECT_EQ(box_.Run(truncated).out, ListPage());
  CgiRequest huge = Post("COMMAND=DEFAULT");
  huge.content_length = "99999999999999999999999";
  const CgiResult refused = box_.Run(huge);
  EXPECT_EQ(refused.exit_status, 0);
  EXPECT_EQ(Utf8(refused.out),
            "Status: 413 Payload Too Large\n" +
                Utf8(MessagePage("送信されたデータが大きすぎます。<BR>\n<BR>\n")));
}

}  // namespace
}  // namespace orvanta::test
