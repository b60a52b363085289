// The fixed frame of every HTML page and the one-message page.
#include <cstdio>

#include "page/frame_texts.h"
#include "page/page.h"

namespace orvanta {

namespace {

void PrintBackLink() { std::printf(kBackLinkFormat, kCgiName); }

}  // namespace

void PrintPageHeader() {
  std::fputs("Content-Type: text/html\n\n", stdout);
  std::fputs("<HTML>\n<HEAD>\n", stdout);
  std::fputs("<META NAME=\"robots\" CONTENT=\"noindex,nofollow\">\n", stdout);
  std::fputs("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html;charset=euc-jp\">\n",
             stdout);
  std::printf("<META NAME=\"GENERATOR\" CONTENT=\"%s\">\n", kProgramTitle);
  std::printf("<TITLE>%s</TITLE>\n", kProgramTitle);
  std::fputs(
      "</HEAD>\n<BODY TEXT=\"#000000\" LINK=\"#0000FF\" VLINK=\"#0000FF\" "
      "BGCOLOR=\"#EEEEFF\">\n<CENTER>\n",
      stdout);
}

void PrintPageFooter() { std::fputs("</CENTER>\n</BODY>\n</HTML>\n", stdout); }

void PrintMessagePage(const char* message, bool back_link) {
  PrintPageHeader();
  std::printf("%s<BR>\n", message);
  if (back_link) PrintBackLink();
  PrintPageFooter();
}

void PrintMessagePage(std::string message, bool back_link) {
  PrintPageHeader();
  std::fwrite(message.data(), 1, message.size(), stdout);
  if (back_link) PrintBackLink();
  PrintPageFooter();
}

}  // namespace orvanta
