// orvanta.cgi with ACCOUNTS=ldap while no server of its lists answers: every
// page and action that reads accounts or groups says so on a page of its
// own, with one line per server, and writes, runs and records nothing; the
// pages that read none are what they are with the tools.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr char kRecord[] = "ADD,taro,192.0.2.10,2024/01/02 03:04\n";

std::string Unreachable(const std::string& uri) {
  return "orvanta: ldap bind " + uri + ": -1 (Can't contact LDAP server)\n";
}

TEST(DirectoryDownTest, EveryReadOfAccountsSaysTheDirectoryCannotBeReached) {
  const CgiSandbox box;
  box.SetAccounts("root:x:0:0::/root:/bin/sh\n", "root:x:0:\n");
  box.WriteFile("orvanta.log", kRecord);
  const std::string home = box.AddRecordingTool("home", 0);
  const std::string tools = "SHELL1=/bin/sh\nHOME_ROOTS=/home/\nARCHIVE_DIR=/srv/archive\n"
                            "HOME_CREATE=" + home + "\nHOME_DELETE=" + home + "\nHOME_ARCHIVE=" +
                            home + "\n";
  const std::string provider = "ldap://127.0.0.1:1/ ldapi://%2Fnonexistent%2Fprovider";
  const std::string replica = "ldapi://%2Fnonexistent%2Freplica";
  const std::string directory =
      tools + "ACCOUNTS=ldap\nLDAP_URI=" + provider + "\nLDAP_READ_URI=" + replica +
      "\nLDAP_PEOPLE_BASE=ou=people,dc=orvanta,dc=test\n"
      "LDAP_GROUP_BASE=ou=groups,dc=orvanta,dc=test\n";
  // A POST reads on LDAP_URI, the pages a GET opens on LDAP_READ_URI.
  const std::string posts =
      Unreachable("ldap://127.0.0.1:1/") + Unreachable("ldapi://%2Fnonexistent%2Fprovider");
  const std::string gets = Unreachable(replica);
  const struct {
    CgiRequest request;
    const std::string& lines;
  } cases[] = {
      {Get("COMMAND=VIEW"), gets},
      {Get("COMMAND=DEFAULT"), gets},
      {Get("COMMAND=MOD"), gets},
      {Get("COMMAND=DEL"), gets},
      {Get("COMMAND=LOCK"), gets},
      {Get("COMMAND=AGE"), gets},
      {Get("COMMAND=ADD"), gets},
      {Get("COMMAND=GVIEW"), gets},
      {Get("COMMAND=GDEL"), gets},
      {Get("COMMAND=GMEM&GNAME=devel"), gets},
      {Post("COMMAND=DEFAULT"), posts},
      {Post("COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&UID=&GID=devel&DIR=/home/&SHELL=/bin/sh"),
       posts},
      {Post("COMMAND=BATCHADD&SHELL=/bin/sh&LINES=hanako%2CSecret12%2C%2Cdevel"), posts},
      {Post("COMMAND=WILLBEMOD&NAME=taro"), posts},
      {Post("COMMAND=TOBEMOD&NAME=taro&CHKSHELL=on&SHELL=/bin/sh"), posts},
      {Post("COMMAND=WILLBEDEL&NAME=taro&HOME=archive"), posts},
      {Post("COMMAND=TOBELOCK&NAME=taro&ACTION=LOCK"), posts},
      {Post("COMMAND=WILLBEAGED&NAME=taro"), posts},
      {Post("COMMAND=TOBEAGED&NAME=taro&CHKMAX=on&MAXDAYS=90"), posts},
      {Post("COMMAND=GP_WILLBEADD&GNAME=webteam&GID="), posts},
      {Post("COMMAND=GP_WILLBEDEL&GNAME=devel"), posts},
      {Post("COMMAND=GP_TOBEMEM&GNAME=devel&ADDNAME=taro"), posts},
  };
  box.SetConfig(directory);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.query.value_or("") + c.request.body);
    box.WriteFile(".stderr", "");
    const CgiResult result = box.Run(c.request);
    EXPECT_EQ(Utf8(result.out),
              Utf8(MessagePage("ディレクトリサーバーに接続できませんでした。<BR>\n<BR>\n")));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(box.ReadFile(".stderr"), c.lines);
  }
  EXPECT_EQ(box.ReadFile("orvanta.log"), kRecord);
  EXPECT_TRUE(box.CallsOf("home").empty());
  EXPECT_TRUE(box.CallsOf("chpasswd").empty());

  // The pages that read no account.
  for (const char* page : {"COMMAND=MENU", "COMMAND=LOG", "COMMAND=GADD", "COMMAND=BATCH"}) {
    SCOPED_TRACE(page);
    box.SetConfig(tools);
    const std::string with_tools = box.Run(Get(page)).out;
    box.SetConfig(directory);
    box.WriteFile(".stderr", "");
    EXPECT_EQ(Utf8(box.Run(Get(page)).out), Utf8(with_tools));
    EXPECT_EQ(box.ReadFile(".stderr"), "");
  }
}

}  // namespace
}  // namespace orvanta::test
