// The authorized keys field: every line checked on its own by the real
// ssh-keygen, run as nobody.
#include <gtest/gtest.h>

#include "hosttools/hosttools.h"
#include "user/user.h"

namespace orvanta {
namespace {

constexpr char kEd25519[] =
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBkclsC4Fhq3okF0/ihQWGNS2B/Qs/fBOIEp3MIrKtvU k@x";
constexpr char kEd25519Print[] = "SHA256:2ykmOCsL1kLFQ6H633s9oPjduYfN1eZl5NPUoQbP23g";
constexpr char kEcdsa[] =
    "ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBLjxWzUkpHipnnP8b444Fbg"
    "4SdROJ40miVuld6yTv5s6W0LRZ1Wrxnl1BXHBL1IhGgdzhi8N/Xjh6pLmUc1gR8Q= k@x";
constexpr char kSkEd25519[] =
    "sk-ssh-ed25519@openssh.com AAAAGnNrLXNzaC1lZDI1NTE5QG9wZW5zc2guY29tAAAAIApE6PYSWw/e+s3ShEtok"
    "YpGxF/0tRCrxMEA1aXJeWHeAAAABHNzaDo= k@x";
constexpr char kRsa2048[] =
    "ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAABAQCezu6v0SJlB9YTTMyX4c2IIA6+PXrm7uOKpCYeoTce9tjKlljOPu8MWk0Z3"
    "Ee1BALcYmogs9vy5cKcg/UIjRb0dOBwNGg35b76th0xUClp3PNo1vP+cUYfvfqFE8Y3UVUCE6pVT6HDg1FmwoN5YKy8zknOU"
    "5A3Sh/OB7N2tDMbEXtN5slZM0e9/mS5yh3D3AhVVDlCH0Jb11hixb+cGMLIlQOzdqNx9fi5fLZros0YVdpiGPq5acYP9vafA"
    "AmTvdrBZPN+TDitWV/L2xBbVQrnXEzaaPYufYbr3yxpQgqt3C2i+05ep5hDGpTgFjrVElz2snyU+XTYl89/9o4b2K7h k@x";
constexpr char kRsa1024[] =
    "ssh-rsa AAAAB3NzaC1yc2EAAAADAQABAAAAgQDTyhZTqsL19Fj6EgM7+sHrxn1rV18xrqib13ThcP2wgPHVcw3IBHGSXqdxu"
    "v3nDAAM1rgNUihRGWH5UlBgmXd8+f3Cmy8aAb8yXHN7QUnzOzqxOwt0MjKlkuS6j8/G1KGe9kxFyTo806A4LVY3hxjDNqlrY"
    "F6E5sm6NH2kIsRiew== k@x";
// Refused by its type alone; OpenSSH 10 reads no DSA key at all.
constexpr char kDsa[] = "ssh-dss AAAAB3NzaC1kc3MAAACBAPbpb94CAjKQZqNEwGTVQb210bXq620nsWPYaBdS k@x";

// EUC-JP of the messages' fixed parts.
constexpr char kTypeRefused[] = "\xa4\xb3\xa4\xce\xb8\xb0\xa4\xce\xbc\xef\xce\xe0";  // この鍵の種類
constexpr char kOption[] = "\xa5\xaa\xa5\xd7\xa5\xb7\xa5\xe7\xa5\xf3";  // オプション
constexpr char kQuote[] = "\xb0\xfa\xcd\xd1\xc9\xe4";                  // 引用符
constexpr char kBits[] = "2048";

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line + "\n";
  return text;
}

TEST(AuthorizedKeys, ChecksEachLineOnItsOwn) {
  SetCommandRunner({});
  const std::string ed = kEd25519;
  struct Case {
    std::string field;
    std::string problem_part;  // "" when the field passes
    std::string first_line_number;
  };
  const std::vector<Case> cases = {
      {ed, "", ""},
      {std::string(kEcdsa) + "\r\n\r\n  " + kRsa2048 + "\t\n", "", ""},
      {kSkEd25519, "", ""},
      {"# a comment\n" + ed, "", ""},
      {"restrict,from=\"10.0.0.0/8,!10.1.*\",command=\"echo \\\"a b\\\"\" " + ed, "", ""},
      {"no-pty,NO-X11-FORWARDING,expiry-time=\"20301231Z\"\t" + ed, "", ""},
      {std::string(kDsa), kTypeRefused, "1"},
      {ed + "\n" + kRsa1024, kBits, "2"},
      {"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBkclsC4Fhq3okF0 k@x", kTypeRefused, "1"},
      {"garbage", kTypeRefused, "1"},
      {"nonsense " + ed, std::string(kOption) + "(nonsense)", "1"},
      {ed + "\nssh-ed25519", kTypeRefused, "2"},
      {"bogusopt=\"x\" " + ed, std::string(kOption) + "(bogusopt)", "1"},
      {"permitopen=\"*:22\" " + ed, std::string(kOption) + "(permitopen)", "1"},
      {"restrict=\"x\" " + ed, std::string(kOption) + "(restrict)", "1"},
      {"command " + ed, std::string(kOption) + "(command)", "1"},
      {"expiry-time=\"tomorrow\" " + ed, std::string(kOption) + "(expiry-time)", "1"},
      {"<b>=\"x\" " + ed, std::string(kOption) + "(&lt;b&gt;)", "1"},
      {"command=\"ls " + ed, kQuote, "1"},
      {"command=ls " + ed, kQuote, "1"},
      {"from=\"a\"x " + ed, kQuote, "1"},
      {"restrict,," + ed, kOption, "1"},
      {"restrict", kTypeRefused, "1"},
      {"restrict " + ed.substr(0, 30) + "\x01" + ed.substr(30), kTypeRefused, "1"},
      {ed + " " + std::string(16384, 'c'), "16384", "1"},
      {Repeat(ed, 100), "", ""},
      {Repeat(ed, 101), "100", ""},
  };
  for (const Case& c : cases) {
    const KeyCheck check = CheckAuthorizedKeys(c.field);
    if (c.problem_part.empty()) {
      EXPECT_EQ(check.problem, "") << c.field;
      EXPECT_FALSE(check.keys.empty()) << c.field;
      for (const AuthorizedKey& key : check.keys) {
        EXPECT_EQ(key.fingerprint.empty(), key.line.front() == '#') << key.line;
      }
    } else {
      EXPECT_NE(check.problem.find(c.problem_part), std::string::npos)
          << c.field << "\n" << check.problem;
      EXPECT_TRUE(check.problem.starts_with(c.first_line_number)) << check.problem;
      EXPECT_TRUE(check.keys.empty());
    }
  }
}

TEST(AuthorizedKeys, KeepsTheLinesAsWrittenWithSshKeygensFingerprints) {
  SetCommandRunner({});
  const std::string options = "from=\"10.0.0.1\" ";
  const KeyCheck check = CheckAuthorizedKeys("# mine\n\n " + options + kEd25519 + " \r\n");
  ASSERT_EQ(check.keys.size(), 2u) << check.problem;
  EXPECT_EQ(check.keys[0].line, "# mine");
  EXPECT_EQ(check.keys[1].line, options + kEd25519);
  EXPECT_EQ(check.keys[1].fingerprint, kEd25519Print);
  EXPECT_EQ(KeyFingerprint(kEd25519), kEd25519Print);
  EXPECT_EQ(KeyFingerprint(kDsa), "");
}

// The check tool holds nobody's ids only, and reads the input it is given.
TEST(RunCommandLineAsNobody, RunsWithNobodysIdsAndTheGivenInput) {
  SetCommandRunner({});
  std::string output;
  EXPECT_EQ(RunCommandLineAsNobody("id -ru; id -u; id -rg; id -G; cat /dev/stdin", "in\n", output), 0);
  EXPECT_EQ(output, "65534\n65534\n65534\n65534\nin\n");
}

}  // namespace
}  // namespace orvanta
