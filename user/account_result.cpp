// Result page of the registration and modification actions.
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/account_result.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

void PrintNowrapCell(const std::string& value) {
  std::printf("<TD NOWRAP>%s</TD>\n", Html(value).c_str());
}

void PrintOptionalCell(const std::string& value) {
  if (value.empty()) {
    std::fputs("<TD><BR></TD>\n", stdout);
  } else {
    PrintNowrapCell(value);
  }
}

}  // namespace

void PrintAccountResultPage(const char* caption, EmptyUidCell empty_uid,
                            const std::string& notes) {
  const std::string& name = Param("NAME");
  PrintPageHeader();
  std::fputs(caption, stdout);
  for (const char* heading : {kResultHeading1, kResultHeading2, kResultHeading3,
                              kResultHeading4, kResultHeading5, kResultHeading6}) {
    std::fputs(heading, stdout);
  }
  std::printf("<TR BGCOLOR=\"#FFFFFF\">\n<TD NOWRAP>%s</TD>\n", Html(name).c_str());
  if (empty_uid == EmptyUidCell::LineBreak) {
    PrintOptionalCell(Param("UID"));
  } else {
    PrintNowrapCell(Param("UID"));
  }
  PrintNowrapCell(Param("GID"));
  PrintOptionalCell(Param("GCOS"));
  PrintNowrapCell(Param("DIR") + name);
  std::printf("<TD NOWRAP>%s</TD></TR>\n\n", Html(Param("SHELL")).c_str());
  std::fputs("</TABLE>\n<BR>\n", stdout);
  std::fputs(notes.c_str(), stdout);
  PrintPageFooter();
}

}  // namespace orvanta
