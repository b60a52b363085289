#include "tests/support/pages.h"

#include "page/version.h"
#include "tests/support/euc.h"

namespace orvanta::test {

std::string ProgramTitle() { return "orvanta ver." ORVANTA_VERSION " staff version "; }

std::string PageHeader() {
  return "X-Frame-Options: DENY\n"
         "Content-Security-Policy: frame-ancestors 'none'\n"
         "X-Content-Type-Options: nosniff\n"
         "Referrer-Policy: same-origin\n"
         "Cache-Control: no-store\n"
         "Content-Type: text/html\n\n"
         "<HTML>\n<HEAD>\n"
         "<META NAME=\"robots\" CONTENT=\"noindex,nofollow\">\n"
         "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html;charset=euc-jp\">\n"
         "<META NAME=\"GENERATOR\" CONTENT=\"" + ProgramTitle() + "\">\n"
         "<TITLE>" + ProgramTitle() + "</TITLE>\n"
         "</HEAD>\n<BODY TEXT=\"#000000\" LINK=\"#0000FF\" VLINK=\"#0000FF\" "
         "BGCOLOR=\"#EEEEFF\">\n<CENTER>\n";
}

std::string PageFooter() { return "</CENTER>\n</BODY>\n</HTML>\n"; }

std::string Framed(std::string_view body_utf8) {
  return PageHeader() + Euc(body_utf8) + PageFooter();
}

std::string MessagePage(std::string_view message_utf8) {
  return Framed(std::string(message_utf8) +
                "<A HREF=\"./orvanta.cgi\">ここ</A>を押して元に戻ってください。<BR>\n"
                "（キャッシュを表示させないために、ブラウザの「戻る」は押さないでください）\n");
}

}  // namespace orvanta::test
