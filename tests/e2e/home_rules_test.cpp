// One home rule for both stores, run on the same table: a new or changed
// home may not be, lie inside or hold another account's home among those
// strictly below HOME_ROOTS, compared as normalised paths; userdel -r, the
// archive and the directory's home commands act only on a home that passes
// then. Entries the program cannot trust are listed, never acted on. The
// tools are recording stand-ins over accounts nss_wrapper serves; the
// directory is a throw-away slapd seeded with the same accounts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/directory.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

enum class Store { Tools, Directory };

constexpr char kGroup[] = "root:x:0:\nusers:x:100:\ngrp x:x:3100:\n";
constexpr char kSettings[] =
    "SYSTEMUID=999\nSYSTEMGID=99\nSHELL1=/bin/sh\nCRYPT_METHOD=YESCRYPT\nUSE_CRYPT=YES\n"
    "HOME_ROOTS=/srv/home\nDEF_DIR=/srv/home/\n";
constexpr const char* kTools[] = {"useradd", "usermod", "userdel", "tar"};

// A host of one store over the accounts of `passwd`, with the tree that the
// tools' home rules walk (HOME_CHECK_ROOT): /srv/home and the directories
// `owned` names, each owned by its uid (root's, mode 0755, unless named).
class Host {
 public:
  Host(Store store, const std::string& passwd,
       const std::vector<std::pair<std::string, uid_t>>& owned) {
    std::filesystem::create_directories(box.PathOf("root/srv/home"));
    std::filesystem::create_directory(box.PathOf("archive"));
    for (const auto& [dir, uid] : owned) {
      std::filesystem::create_directories(box.PathOf("root" + dir));
      EXPECT_EQ(chown(box.PathOf("root" + dir).c_str(), uid, 100), 0);
    }
    std::string settings = kSettings + ("ARCHIVE_DIR=" + box.PathOf("archive") + "\n");
    if (store == Store::Tools) {
      box.SetAccounts(passwd, kGroup);
      for (const char* tool : kTools) {
        std::string key = tool;
        for (char& c : key) c = static_cast<char>(std::toupper(c));
        settings += key + "=" + Recorder(tool) + "\n";
      }
    } else {
      server_ = std::make_unique<DirectoryServer>(box, passwd, kGroup, "");
      const std::string home = Recorder("home");
      settings += server_->Settings() + "HOME_CREATE=" + home + " create\nHOME_DELETE=" + home +
                  " delete\nHOME_ARCHIVE=" + home + " archive\n";
    }
    box.SetConfig(settings);
  }

  std::string Send(const std::string& body) const { return box.Run(Post(body)).out; }

  // What ran, in order, one "tool arg arg ..." each, with the sandbox as
  // BOX and archives' time stamps as STAMP.
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::istringstream in(box.ReadFile("calls"));
    for (std::string line; std::getline(in, line);) lines.push_back(Unstamped(line));
    return lines;
  }

  std::string Unstamped(const std::string& text) const {
    static const std::regex kStamp(R"(-[0-9]{8}-[0-9]{4}\.tar\.gz)");
    return std::regex_replace(std::regex_replace(text, kStamp, "-STAMP.tar.gz"),
                              std::regex(box.dir()), "BOX");
  }

  CgiSandbox box;

 private:
  // A stand-in that appends its name and arguments as one line to `calls`.
  std::string Recorder(const std::string& name) const {
    box.WriteFile(name, "#!/bin/sh\n{ printf '%s' " + name +
                            "; for a in \"$@\"; do printf ' %s' \"$a\"; done; echo; } >> " +
                            box.PathOf("calls") + "\n");
    EXPECT_EQ(chmod(box.PathOf(name).c_str(), 0755), 0);
    return box.PathOf(name);
  }

  std::unique_ptr<DirectoryServer> server_;
};

const char* NameOf(Store store) { return store == Store::Tools ? "tools" : "directory"; }

std::string Refused(const std::string& path) {
  return "ホームディレクトリ(" + path + ")は使用できません。<BR>\n";
}

std::string DeletionPage(const std::vector<std::string>& rows) {
  std::string body =
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
      "<CAPTION><B><FONT SIZE=\"+1\">ユーザーを削除しました。</FONT></B></CAPTION>\n"
      "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>結果</TH></TR>\n";
  for (const std::string& row : rows) body += "<TR BGCOLOR=\"#FFFFFF\">" + row + "</TR>\n";
  return Framed(body + "</TABLE>\n");
}

// Homes at every distance from the new ones: keeper's is named like a new
// account, bob's ends in '/', carol's runs through "..", mate's lies in a
// home to be; rooted's is a root, slash's and none's lie outside the
// roots: those three hold nobody's files and block nothing.
constexpr char kNeighbours[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "alice:x:2001:100::/srv/home/alice:/bin/sh\n"
    "bob:x:2002:100::/srv/home/bob/:/bin/sh\n"
    "carol:x:2003:100::/srv/home/x/../carol:/bin/sh\n"
    "keeper:x:2004:100::/srv/home/hanako:/bin/sh\n"
    "mate:x:2005:100::/srv/home/crew/mate:/bin/sh\n"
    "rooted:x:2006:100::/srv/home:/bin/sh\n"
    "slash:x:2007:100::/:/bin/sh\n"
    "none:x:2008:100::/nonexistent:/bin/sh\n";

TEST(HomeRulesTest, NewAndChangedHomesMeetNoOtherAccountsHome) {
  const std::string near = "another account's home, or inside or above one";
  const std::string not_plain = "not an absolute path free of ., .. and //";
  struct Case {
    const char* what;
    std::string body;
    std::string refused_path;  // "" when the change is made
    std::string reason;        // of the refusal, on stderr
    std::string record = "";     // when made
    std::string tool_call = "";  // when made, by the tools
  };
  const std::string add = "COMMAND=WILLBEADD&PASS=Secret12&UID=&GID=users&GCOS=&SHELL=/bin/sh&";
  const std::string mod = "COMMAND=TOBEMOD&NAME=alice&CHKDIR=on&";
  const std::vector<Case> cases = {
      {"equal to another's", add + "NAME=hanako&DIR=/srv/home/", "/srv/home/hanako", near},
      {"inside another's", add + "NAME=sub&DIR=/srv/home/alice/", "/srv/home/alice/sub", near},
      {"above another's", add + "NAME=crew&DIR=/srv/home/", "/srv/home/crew", near},
      {"inside a home stored through ..", add + "NAME=inner&DIR=/srv/home/carol/",
       "/srv/home/carol/inner", near},
      {"inside a home stored with a trailing slash", add + "NAME=inner&DIR=/srv/home/bob/",
       "/srv/home/bob/inner", near},
      {"through .. itself", add + "NAME=alice2&DIR=/srv/home/x/../", "/srv/home/x/../alice2",
       not_plain},
      {"with slashes doubled", add + "NAME=newbie&DIR=/srv/home//", "/srv/home//newbie",
       not_plain},
      {"changed to inside another's", mod + "DIR=/srv/home/bob/", "/srv/home/bob/alice", near},
      {"below a root, a home equal to a root and homes outside the roots",
       add + "NAME=newbie&DIR=/srv/home/", "", "", "ADD,newbie",
       "useradd -d /srv/home/newbie -g users -s /bin/sh newbie"},
      {"beside another's", mod + "DIR=/srv/home/crew/", "", "", "MOD,alice",
       "usermod -d /srv/home/crew/alice alice"},
      {"changed to its own", mod + "DIR=/srv/home/", "", "", "MOD,alice",
       "usermod -d /srv/home/alice alice"},
  };
  for (const Store store : {Store::Tools, Store::Directory}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(NameOf(store)) + ": " + c.what);
      const Host host(store, kNeighbours, {});
      const std::string page = host.Send(c.body);
      if (!c.refused_path.empty()) {
        EXPECT_EQ(Utf8(page), Utf8(MessagePage(Refused(c.refused_path))));
        EXPECT_EQ(host.box.ReadFile(".stderr"),
                  "orvanta: home " + c.refused_path + " refused: " + c.reason + "\n");
        EXPECT_TRUE(host.Calls().empty());
        EXPECT_TRUE(host.box.LogRecords().empty());
        continue;
      }
      EXPECT_EQ(host.box.LogRecords(), std::vector<std::string>{c.record}) << Utf8(page);
      const bool added = c.record.starts_with("ADD");
      std::vector<std::string> calls;
      if (store == Store::Tools) calls.push_back(c.tool_call);
      if (store == Store::Directory && added) calls.push_back("home create /srv/home/newbie");
      EXPECT_EQ(host.Calls(), calls);
    }
  }
}

// The homes of the deleted accounts meet others' when the action acts:
// team's holds deep's, twin1's is twin2's, nested's lies in alice's (whose
// directory is root's, so the walk alone would let it go); solo's meets
// none. Directories are their accounts' own, as userdel -r wants.
constexpr char kHomesToGo[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "alice:x:2001:100::/srv/home/alice:/bin/sh\n"
    "team:x:2010:100::/srv/home/team:/bin/sh\n"
    "deep:x:2011:100::/srv/home/team/deep:/bin/sh\n"
    "twin1:x:2012:100::/srv/home/shared:/bin/sh\n"
    "twin2:x:2013:100::/srv/home/shared/:/bin/sh\n"
    "nested:x:2014:100::/srv/home/alice/nested:/bin/sh\n"
    "solo:x:2015:100::/srv/home/solo:/bin/sh\n";

TEST(HomeRulesTest, HomesGoOnlyWhenTheyMeetNoOtherAccountsHome) {
  const std::vector<std::pair<std::string, uid_t>> owned = {
      {"/srv/home/alice", 0},         {"/srv/home/team", 2010},   {"/srv/home/team/deep", 2011},
      {"/srv/home/shared", 2012},     {"/srv/home/alice/nested", 2014}, {"/srv/home/solo", 2015}};
  const std::string kept = "削除しました（ホームディレクトリは残しました）。";
  const std::string near = ": another account's home, or inside or above one\n";
  struct Case {
    const char* what;
    std::string name, choice;
    std::string outcome;  // the row's second cell
    std::vector<std::string> tools_calls, directory_calls;
    std::string directory_stderr;
  };
  const std::vector<Case> cases = {
      {"holding another's", "team", "remove", kept, {"userdel team"}, {},
       "orvanta: HOME_DELETE not run for /srv/home/team" + near},
      {"equal to another's", "twin1", "remove", kept, {"userdel twin1"}, {},
       "orvanta: HOME_DELETE not run for /srv/home/shared" + near},
      {"inside another's", "nested", "remove", kept, {"userdel nested"}, {},
       "orvanta: HOME_DELETE not run for /srv/home/alice/nested" + near},
      {"meeting none", "solo", "remove", "削除しました。", {"userdel -r solo"},
       {"home delete /srv/home/solo"}, ""},
      {"archived, holding another's", "team", "archive",
       "ホームディレクトリを保存できなかったため、削除しませんでした。", {}, {},
       "orvanta: HOME_ARCHIVE not run for /srv/home/team" + near +
           "orvanta: ldap: home not archived, account kept: team\n"},
      {"archived, meeting none", "solo", "archive",
       "削除しました（ホームディレクトリはBOX/archive/solo-STAMP.tar.gzに保存しました）。",
       {"tar -czf - -C BOX/root/srv/home -- solo", "userdel -r solo"},
       {"home archive solo /srv/home/solo BOX/archive/solo-STAMP.tar.gz",
        "home delete /srv/home/solo"},
       ""},
  };
  for (const Store store : {Store::Tools, Store::Directory}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(NameOf(store)) + ": " + c.what);
      const Host host(store, kHomesToGo, owned);
      const std::string page = host.Send("COMMAND=WILLBEDEL&NAME=" + c.name + "&HOME=" + c.choice);
      EXPECT_EQ(Utf8(host.Unstamped(page)),
                Utf8(DeletionPage({"<TD>" + c.name + "</TD><TD>" + c.outcome + "</TD>"})));
      EXPECT_EQ(host.Calls(), store == Store::Tools ? c.tools_calls : c.directory_calls);
      const bool deleted = !c.outcome.starts_with("ホーム");
      EXPECT_EQ(host.box.LogRecords(),
                deleted ? std::vector<std::string>{"DEL," + c.name} : std::vector<std::string>{});
      if (store == Store::Directory) {
        EXPECT_EQ(host.Unstamped(host.box.ReadFile(".stderr")), c.directory_stderr);
      }
    }
  }
}

// Entries someone planted: names that are options, paths or lists, a home
// that runs out of the roots, root's uid again; and two that take bob's
// home, which keep their boxes but never take the home along.
constexpr char kPlanted[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "bob:x:3000:100::/srv/home/bob:/bin/sh\n"
    "-rf:x:3001:100::/srv/home/rf:/bin/sh\n"
    "../x:x:3002:100::/srv/home/x:/bin/sh\n"
    "a/b:x:3003:100::/srv/home/ab:/bin/sh\n"
    "x&y z:x:3004:100::/srv/home/xy:/bin/sh\n"
    "dotted:x:3005:100::/srv/home/../../etc:/bin/sh\n"
    "toor:x:0:100::/srv/home/toor:/bin/sh\n"
    "bobcopy:x:3006:100::/srv/home/bob:/bin/sh\n"
    "sshkey:x:3007:100::/srv/home/bob/.ssh:/bin/sh\n";

std::string UntrustedName(const std::string& name) {
  return "ユーザー名(" + name + ")は使用できない名前のため、操作できません。";
}

// Every *.tar.gz below the sandbox, wherever an archive went.
std::vector<std::string> Archives(const CgiSandbox& box) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(box.dir())) {
    if (entry.path().string().ends_with(".tar.gz")) found.push_back(entry.path().string());
  }
  return found;
}

TEST(HomeRulesTest, PlantedEntriesAreListedButNeverActedOn) {
  const std::string dotted_home =
      "ホームディレクトリ(/srv/home/../../etc)が正しくないため、操作できません。";
  const std::string not_archived = "ホームディレクトリを保存できなかったため、削除しませんでした。";
  const std::vector<std::string> refused_rows = {
      "<TD>-rf</TD><TD>" + UntrustedName("-rf") + "</TD>",
      "<TD>../x</TD><TD>" + UntrustedName("../x") + "</TD>",
      "<TD>a/b</TD><TD>" + UntrustedName("a/b") + "</TD>",
      "<TD>x&amp;y z</TD><TD>" + UntrustedName("x&amp;y z") + "</TD>",
      "<TD>dotted</TD><TD>" + dotted_home + "</TD>",
      "<TD>toor</TD><TD>削除が禁止されているユーザーです</TD>"};
  const std::string planted_names = "NAME=-rf&NAME=..%2Fx&NAME=a%2Fb&NAME=x%26y+z&NAME=dotted&NAME=toor";
  for (const Store store : {Store::Tools, Store::Directory}) {
    SCOPED_TRACE(NameOf(store));
    const Host host(store, kPlanted, {{"/srv/home/bob", 3006}});
    const std::vector<std::string> kept_calls =
        store == Store::Tools ? std::vector<std::string>{"userdel bobcopy", "userdel sshkey"}
                              : std::vector<std::string>{};

    // Listed, escaped; boxes only for what the actions take.
    const std::string list = Utf8(host.box.Run(Get("COMMAND=DEL")).out);
    for (const char* shown : {"-rf", "../x", "a/b", "x&amp;y z", "dotted", "toor"}) {
      EXPECT_NE(list.find("<TD>" + std::string(shown) + "</TD>"), std::string::npos) << shown;
    }
    std::vector<std::string> boxes;
    static const std::regex kBox("<INPUT TYPE=\"CHECKBOX\" NAME=\"NAME\" VALUE=\"([^\"]*)\">");
    for (std::sregex_iterator it(list.begin(), list.end(), kBox), end; it != end; ++it) {
      boxes.push_back((*it)[1]);
    }
    EXPECT_EQ(boxes, (std::vector<std::string>{"bob", "bobcopy", "sshkey"}));
    for (const char* command : {"MOD", "LOCK", "AGE"}) {
      const std::string page = host.box.Run(Get(std::string("COMMAND=") + command)).out;
      for (const char* name : {"-rf", "../x", "a/b", "dotted"}) {
        EXPECT_EQ(page.find("VALUE=\"" + std::string(name) + "\""), std::string::npos)
            << command << " " << name;
      }
    }

    // Archived: nothing at all; the planted names make no file anywhere.
    std::vector<std::string> rows = refused_rows;
    rows.push_back("<TD>bobcopy</TD><TD>" + not_archived + "</TD>");
    rows.push_back("<TD>sshkey</TD><TD>" + not_archived + "</TD>");
    EXPECT_EQ(Utf8(host.Send("COMMAND=WILLBEDEL&HOME=archive&" + planted_names +
                             "&NAME=bobcopy&NAME=sshkey")),
              Utf8(DeletionPage(rows)));
    EXPECT_TRUE(host.Calls().empty());
    EXPECT_TRUE(Archives(host.box).empty());

    // Removed: the planted names stay; bob's home stays with bob.
    rows = refused_rows;
    rows.push_back("<TD>bobcopy</TD><TD>削除しました（ホームディレクトリは残しました）。</TD>");
    rows.push_back("<TD>sshkey</TD><TD>削除しました（ホームディレクトリは残しました）。</TD>");
    EXPECT_EQ(Utf8(host.Send("COMMAND=WILLBEDEL&" + planted_names + "&NAME=bobcopy&NAME=sshkey")),
              Utf8(DeletionPage(rows)));
    EXPECT_EQ(host.Calls(), kept_calls);
    EXPECT_EQ(host.box.LogRecords(), (std::vector<std::string>{"DEL,bobcopy", "DEL,sshkey"}));

    // Every other action refuses them with the same words.
    EXPECT_EQ(Utf8(host.Send("COMMAND=TOBEMOD&NAME=-rf&CHKSHELL=on&SHELL=/bin/sh")),
              Utf8(MessagePage(UntrustedName("-rf") + "<BR>\n")));
    EXPECT_EQ(Utf8(host.Send("COMMAND=WILLBEMOD&NAME=dotted")),
              Utf8(MessagePage(dotted_home + "<BR>\n")));
    EXPECT_EQ(Utf8(host.Send("COMMAND=TOBEAGED&NAME=a%2Fb&CHKMAX=on&MAXDAYS=9")),
              Utf8(MessagePage(UntrustedName("a/b") + "<BR>\n")));
    EXPECT_NE(Utf8(host.Send("COMMAND=TOBELOCK&ACTION=LOCK&NAME=..%2Fx"))
                  .find("<TD>../x</TD><TD>" + UntrustedName("../x") + "</TD>"),
              std::string::npos);
    EXPECT_NE(Utf8(host.Send("COMMAND=GP_TOBEMEM&GNAME=users&ADDNAME=-rf"))
                  .find("<TD>-rf</TD><TD>追加</TD><TD>" + UntrustedName("-rf") + "</TD>"),
              std::string::npos);
    EXPECT_NE(Utf8(host.Send("COMMAND=GP_WILLBEDEL&GNAME=grp+x"))
                  .find("<TD>grp x</TD><TD>グループ名(grp x)は使用できない名前のため、操作できません。"
                        "</TD>"),
              std::string::npos);
    EXPECT_EQ(host.box.Run(Get("COMMAND=GDEL")).out.find("VALUE=\"grp x\""), std::string::npos);
    EXPECT_EQ(host.Calls(), kept_calls);
    EXPECT_EQ(host.box.LogRecords(), (std::vector<std::string>{"DEL,bobcopy", "DEL,sshkey"}));
  }
}

}  // namespace
}  // namespace orvanta::test
