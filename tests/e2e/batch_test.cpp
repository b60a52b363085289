// Batch registration (BATCH, BATCHADD) through the real program with a
// recording useradd: how LINES is split into lines and fields, each line's
// checks and reason, duplicates within one batch, check-only runs, the
// line limit, and the exact command lines and records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/trace.h"

namespace orvanta::test {
namespace {

constexpr char kRegistered[] = "登録しました";
constexpr char kCheckedOnly[] = "確認のみ: 問題なし";
constexpr char kFieldCount[] = "項目の数が正しくありません（2〜5個）";
constexpr char kAddFailed[] = "ユーザーの登録に失敗しました。";

std::string Row(int line, const std::string& name, const std::string& outcome) {
  return "<TR BGCOLOR=\"#FFFFFF\"><TD>" + std::to_string(line) + "</TD><TD>" + name +
         "</TD><TD>" + outcome + "</TD>";
}

// `note`: what the page says of an uploaded file's encoding.
std::string BatchResult(const std::vector<std::string>& rows, int problems,
                        const std::string& note = "") {
  std::string body = note +
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n<CAPTION><B><FONT SIZE=\"+1\">ユーザーの一括登録"
      "</FONT></B></CAPTION>\n<TR BGCOLOR=\"#D0D0FF\"><TH>行</TH><TH>ユーザー名</TH><TH>結果</TH>"
      "<TH>進捗</TH></TR>\n";
  // Each row ends with how far the batch got.
  for (size_t i = 0; i < rows.size(); ++i) {
    body += rows[i] + "<TD NOWRAP>" + std::to_string(i + 1) + " / " +
            std::to_string(rows.size()) + " 件</TD></TR>\n";
  }
  return Framed(body + "</TABLE>\n<P>" + std::to_string(rows.size()) + "行のうち、" +
                std::to_string(problems) + "行に問題がありました。</P>\n");
}

// Form encoding of the textarea: every byte but letters and digits as %XX.
std::string Encode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

class BatchTest : public ::testing::Test {
 protected:
  BatchTest() {
    useradd_ = box_.AddRecordingTool("useradd", 0);
    failing_ = box_.AddRecordingTool("failing", 1);
    box_.SetAccounts(
        "root:x:0:0:root:/root:/bin/bash\n"
        "taro:x:1001:100:Taro:/home/taro:/bin/sh\n",
        "root:x:0:\nusers:x:100:\nsysgrp:x:999:\nstaff:x:1100:\n");
  }

  // The lines handed to /bin/sh (after the tool's path) and the page.
  std::vector<std::string> Send(const std::string& body, const std::string& useradd,
                                CgiResult* result) const {
    return Send(Post(body), useradd, result);
  }
  std::vector<std::string> Send(const CgiRequest& request, const std::string& useradd,
                                CgiResult* result) const {
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nSHELL1=/bin/sh\nUSERADD=" + useradd + "\n");
    const std::string trace = box_.PathOf("execve.trace");
    *result = box_.Run(request, StraceArgs(trace));
    std::vector<std::string> lines;
    // The user-adding tool's lines; chpasswd's follow each of them.
    for (const std::string& line : ShellCommandLines(box_.ReadFile("execve.trace"))) {
      if (line.starts_with(useradd)) lines.push_back(line.substr(useradd.size()));
    }
    return lines;
  }

  CgiSandbox box_;
  std::string useradd_;
  std::string failing_;
};

struct BatchCase {
  const char* what;
  std::string lines;  // LINES as typed
  std::string extra;  // more fields of the request
  std::vector<std::string> rows;
  int problems;
  std::vector<std::string> commands;  // after USERADD's path
  bool tool_fails = false;
};

TEST_F(BatchTest, ChecksAndRegistersLineByLine) {
  const std::vector<BatchCase> cases = {
      {"CR LF, blank and comment lines, 2 to 5 fields, commas in the comment",
       "# class 1A\r\nhanako,abc123\r\n\r\n  \r\njiro,abc123,1500\r\nsaburo,abc123,,staff\r\n"
       "shiro,abc123,1501,staff,Shiro, Jr.,PhD\r\nnocomma\r\n",
       "&DIR=%2Fhome&SHELL=%2Fbin%2Fsh",
       {Row(2, "hanako", kRegistered), Row(5, "jiro", kRegistered),
        Row(6, "saburo", kRegistered), Row(7, "shiro", kRegistered),
        Row(8, "nocomma", kFieldCount)},
       1,
       {"  -d /home/hanako -s /bin/sh hanako", "  -d /home/jiro -s /bin/sh -u 1500 jiro",
        "  -d /home/saburo -g staff -s /bin/sh saburo",
        "  -c 'Shiro, Jr.,PhD'  -d /home/shiro -g staff -s /bin/sh -u 1501 shiro"}},
      {"each line's reason in the single registration's words; duplicates of the database "
       "and of earlier lines that passed",
       "1abc,abc123\nhanako,abc\nhanako,abc123,999\nhanako,abc123,,nogroup\ntaro,abc123\n"
       "hanako,abc123,1001\nhanako,abc123,1600\nhanako,abc123\nhana2,abc123,1600\n<b>x,abc123\n",
       "&SHELL=%2Fbin%2Fsh",
       {Row(1, "1abc", "ユーザー名の先頭に数字が使われています。"),
        Row(2, "hanako", "パスワードは6〜8文字にしてください"),
        Row(3, "hanako", "ユーザーＩＤ(999)がシステムＩＤ(999)以下です。<BR>\n登録できません。"),
        Row(4, "hanako", "グループ(nogroup)は登録されていません。"),
        Row(5, "taro", "ユーザー名(taro)はすでに登録されています。"),
        Row(6, "hanako", "ユーザーＩＤ(1001)がはすでに登録されています。"),
        Row(7, "hanako", kRegistered),
        Row(8, "hanako", "ユーザー名(hanako)はすでに登録されています。"),
        Row(9, "hana2", "ユーザーＩＤ(1600)がはすでに登録されています。"),
        Row(10, "&lt;b&gt;x", "ユーザー名に使用できない文字(&lt;)が含まれています")},
       9,
       {"  -d /home/hanako -s /bin/sh -u 1600 hanako"}},
      {"a line whose tool fails counts as taken for the lines after it",
       "hanako,abc123,1600\nhanako,abc123\n", "&SHELL=%2Fbin%2Fsh",
       {Row(1, "hanako", kAddFailed), Row(2, "hanako", "ユーザー名(hanako)はすでに登録されています。")},
       2,
       {"  -d /home/hanako -s /bin/sh -u 1600 hanako"},
       true},
      {"check only runs no tool and agrees with a real run",
       "hanako,abc123,1600\nhanako,abc123\nnocomma\n", "&CHECKONLY=on&SHELL=%2Fbin%2Fsh",
       {Row(1, "hanako", kCheckedOnly),
        Row(2, "hanako", "ユーザー名(hanako)はすでに登録されています。"),
        Row(3, "nocomma", kFieldCount)},
       2,
       {}},
  };
  for (const BatchCase& c : cases) {
    SCOPED_TRACE(c.what);
    box_.WriteFile("orvanta.log", "");
    CgiResult result;
    const std::vector<std::string> commands =
        Send("COMMAND=BATCHADD&LINES=" + Encode(c.lines) + c.extra,
             c.tool_fails ? failing_ : useradd_, &result);
    EXPECT_EQ(Utf8(result.out), Utf8(BatchResult(c.rows, c.problems)));
    EXPECT_EQ(commands, c.commands);
    std::vector<std::string> records;
    for (const std::string& row : c.rows) {
      if (row.find(kRegistered) == std::string::npos) continue;
      const size_t name = row.find("<TD>", row.find("</TD>")) + 4;
      records.push_back("ADD," + row.substr(name, row.find("</TD>", name) - name));
    }
    EXPECT_EQ(box_.LogRecords(), records);
    EXPECT_EQ(result.out.find("abc123"), std::string::npos) << "a password on the page";
  }
}

TEST_F(BatchTest, TakesAtMostAThousandLines) {
  std::string lines = "# skipped lines do not count\n\n";
  for (int i = 0; i < 1000; ++i) lines += "u" + std::to_string(1000 + i) + ",abc123\n";
  CgiResult result;
  EXPECT_EQ(Send("COMMAND=BATCHADD&CHECKONLY=on&SHELL=/bin/sh&LINES=" + Encode(lines), useradd_,
                 &result),
            std::vector<std::string>{});
  EXPECT_NE(Utf8(result.out).find("<P>1000行のうち、0行に問題がありました。</P>"),
            std::string::npos);
  EXPECT_EQ(Send("COMMAND=BATCHADD&LINES=" + Encode(lines + "u9999,abc123\n"), useradd_, &result),
            std::vector<std::string>{});
  EXPECT_EQ(Utf8(result.out), Utf8(MessagePage("一度に登録できるのは1000行までです。<BR>\n")));
}

// ---- CSV files: uploads to the batch, and the lists taken away

constexpr char kBoundary[] = "----b0undary";

// One part of a multipart/form-data body: a field, or a file (with its
// file name and type).
struct Part {
  std::string name, content;
  std::string file_name = {};
  std::string headers = {};  // e.g. "Content-Type: text/csv\r\n"
};

CgiRequest Upload(const std::vector<Part>& parts, const std::string& boundary = kBoundary) {
  std::string body;
  for (const Part& part : parts) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"" +
            (part.file_name.empty() ? "" : "; filename=\"" + part.file_name + "\"") + "\r\n" +
            part.headers + "\r\n" + part.content + "\r\n";
  }
  CgiRequest request = Post(body + "--" + boundary + "--\r\n");
  request.extra_env = {"CONTENT_TYPE=multipart/form-data; boundary=" + boundary};
  return request;
}

// The batch form's parts around a CSV file.
std::vector<Part> BatchParts(const std::string& file, const std::string& type = "text/csv") {
  return {{"COMMAND", "BATCHADD"},
          {"DIR", "/home"},
          {"SHELL", "/bin/sh"},
          {"LINES", ""},
          {"CSVFILE", file, "class.csv", "Content-Type: " + type + "\r\n"}};
}

constexpr char kGcosChar[] = "コメントに使用できない文字が含まれています";

struct UploadCase {
  const char* what;
  CgiRequest request;
  std::string note;
  std::vector<std::string> rows;
  int problems;
  std::vector<std::string> commands;  // after USERADD's path
};

TEST_F(BatchTest, ReadsCsvFilesAndPastedCsv) {
  std::vector<Part> pasted = BatchParts("");
  pasted[3].content = "NAME,PASS\r\nhanako,\"abc,123\"\r\n";
  const std::string sample = box_.Run(Get("COMMAND=BATCHSAMPLE")).out;
  std::vector<Part> checked = BatchParts(sample.substr(sample.find("\n\n") + 2));
  checked.push_back({"CHECKONLY", "on"});
  const std::vector<UploadCase> cases = {
      {"UTF-8 with its byte order mark, columns in another order, quoted commas, quotes and "
       "line breaks, a leading ' kept",
       Upload(BatchParts("\xEF\xBB\xBFNAME,GCOS,PASS,UID\r\nhanako,\"Kato, \"\"Hana\"\"\",abc123,"
                         "1600\r\njiro,\"two\r\nlines\",abc123,\r\n,,,\r\n'=sum,x,abc123,\r\n"
                         "saburo,'=1+2,abc123,1601\r\n")),
       "<P>文字コード: UTF-8（BOM付き）</P>\n",
       {Row(2, "hanako", kRegistered), Row(3, "jiro", kGcosChar),
        Row(6, "&#39;=sum", "ユーザー名に使用できない文字(&#39;)が含まれています"),
        Row(7, "saburo", kRegistered)},
       2,
       {"  -c 'Kato, \"Hana\"'  -d /home/hanako -s /bin/sh -u 1600 hanako",
        "  -c ''\\''=1+2'  -d /home/saburo -s /bin/sh -u 1601 saburo"}},
      {"CP932 found without being chosen, in the type Windows gives a spreadsheet's file: ASCII "
       "lines register, Japanese comments get the comment's message on their own lines",
       Upload(BatchParts("NAME,PASS,GCOS\r\nkeiko,abc123,Keiko\r\ntaro3,abc123,\"a\r\nb\"\r\n"
                         "sota,abc123,\"\x83\x5C\x83\x74\x83\x67, \x8D\xB2\x93\xA1\"\r\n"
                         "miki,abc123,\"Miki\"\r\n",
                         "application/vnd.ms-excel")),
       "<P>文字コード: Shift_JIS（CP932）</P>\n",
       {Row(2, "keiko", kRegistered), Row(3, "taro3", kGcosChar), Row(5, "sota", kGcosChar),
        Row(6, "miki", kRegistered)},
       2,
       {"  -c 'Keiko'  -d /home/keiko -s /bin/sh keiko",
        "  -c 'Miki'  -d /home/miki -s /bin/sh miki"}},
      {"a file without a header line is read as pasted lines are",
       Upload(BatchParts("hanako,abc123,,staff,Kato, Hana\n# skipped\nnocomma\n", "text/plain")),
       "<P>文字コード: UTF-8</P>\n",
       {Row(1, "hanako", kRegistered), Row(3, "nocomma", kFieldCount)},
       1,
       {"  -c 'Kato, Hana'  -d /home/hanako -g staff -s /bin/sh hanako"}},
      {"stray quotes, more fields than the header, keys refused as the form refuses them",
       Upload(BatchParts("NAME,PASS,KEYS\nhanako,\"abc\"123\njiro,abc123,,x\nsaburo,ab\"c123\n"
                         "shiro,abc123,\"\nssh-dss AAAA\"\n")),
       "<P>文字コード: UTF-8</P>\n",
       {Row(2, "hanako", "引用符（\"）の使い方が正しくありません"),
        Row(3, "jiro", "項目の数が見出しより多くなっています"),
        Row(4, "saburo", "引用符（\"）の使い方が正しくありません"),
        Row(5, "shiro", "2行目：この鍵の種類は使えません。")},
       4,
       {}},
      {"FORCE asks the change at the first login of its line alone",
       Upload(BatchParts("NAME,PASS,FORCE\nhanako,abc123,1\njiro,abc123,yes\nsaburo,abc123,0\n")),
       "<P>文字コード: UTF-8</P>\n",
       // No CHAGE here: the change asked for is one that cannot be set.
       {Row(2, "hanako", "登録しましたが、初回ログイン時のパスワード変更を設定できませんでした。"),
        Row(3, "jiro", "FORCE の列は 1 か 0 にしてください（空なら画面の指定どおり）"),
        Row(4, "saburo", kRegistered)},
       2,
       {"  -d /home/hanako -s /bin/sh hanako", "  -d /home/saburo -s /bin/sh saburo"}},
      {"the sample file passes every check", Upload(checked), "<P>文字コード: UTF-8（BOM付き）</P>\n",
       {Row(2, "hanako", kCheckedOnly), Row(3, "jiro", kCheckedOnly)}, 0, {}},
      {"pasted lines under a header are CSV too", Upload(pasted), "",
       {Row(2, "hanako", kRegistered)}, 0, {"  -d /home/hanako -s /bin/sh hanako"}},
  };
  for (const UploadCase& c : cases) {
    SCOPED_TRACE(c.what);
    CgiResult result;
    EXPECT_EQ(Send(c.request, useradd_, &result), c.commands);
    EXPECT_EQ(Utf8(result.out), Utf8(BatchResult(c.rows, c.problems, c.note)));
  }
}

TEST_F(BatchTest, RefusesMalformedUploadsBeforeAnything) {
  std::vector<Part> many(17, Part{"X", "y"});
  std::vector<Part> both = BatchParts("jiro,abc123\n");
  both[3].content = "hanako,abc123\n";
  const std::string bad_request = "Status: 400 Bad Request\n";
  CgiRequest open = Upload(BatchParts("hanako,abc123\n"));  // no closing delimiter
  open.body.resize(open.body.size() - 4);
  const std::vector<std::pair<CgiRequest, std::string>> cases = {
      {Upload(BatchParts("hanako,abc123\n"), std::string(71, 'b')), bad_request},
      {Upload(BatchParts("hanako,abc123\n", "application/octet-stream")), bad_request},
      {Upload(many), bad_request},
      {open, bad_request},
      {Upload({{std::string(1000, 'N'), "x"}}), bad_request},  // headers past 1 KiB
      {Upload({{"COMMAND", "BATCHADD", "", "Content-Transfer-Encoding: binary\r\n"}}),
       bad_request},
      {Upload(BatchParts("NAME,PASSWORD\nhanako,abc123\n")),
       Utf8(MessagePage("見出し行の列(PASSWORD)が正しくありません。<BR>\n"))},
      {Upload(both),
       Utf8(MessagePage("CSVファイルと貼り付けた行の両方は登録できません。どちらか一方にしてください。"
                        "<BR>\n"))},
  };
  for (const auto& [request, expected] : cases) {
    CgiResult result;
    EXPECT_EQ(Send(request, useradd_, &result), std::vector<std::string>{});
    EXPECT_TRUE(Utf8(result.out).starts_with(expected)) << Utf8(result.out);
  }
}

}  // namespace
}  // namespace orvanta::test
