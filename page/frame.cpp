// The fixed frame of every HTML page and the one-message page.
#include <cstdio>
#include <optional>

#include "page/frame_texts.h"
#include "page/page.h"

namespace orvanta {

namespace {

// Every response: no other site may frame a page (a framed form sends this
// site's own Origin, and one click in it changes accounts), no browser may
// read one as another type, no other site learns its address, and no cache
// keeps one.
constexpr char kProtectingHeaders[] =
    "X-Frame-Options: DENY\n"
    "Content-Security-Policy: frame-ancestors 'none'\n"
    "X-Content-Type-Options: nosniff\n"
    "Referrer-Policy: same-origin\n"
    "Cache-Control: no-store\n";
constexpr char kContentTypeHeader[] = "Content-Type: text/html\n\n";

void PrintBackLink() { std::printf(kBackLinkFormat, kCgiName); }

std::optional<PageSession>& SessionOfPages() {
  static std::optional<PageSession> session;
  return session;
}

// Above every page of a session: who is signed in, and the way out.
void PrintSessionBar(const PageSession& session) {
  std::fputs("<DIV ALIGN=\"RIGHT\">\n", stdout);
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", kSignOutCommand);
  std::printf(kSessionBarFormat, Html(session.operator_name).c_str());
  std::fputs("</FORM>\n</DIV>\n", stdout);
}

// The whole CGI header block, ended by its blank line.
void PrintResponseHeaders(const char* status) {
  if (status != nullptr) std::fputs(status, stdout);
  std::fputs(kProtectingHeaders, stdout);
  std::fputs(kContentTypeHeader, stdout);
}

}  // namespace

void PrintDownloadHeaders(const char* type, const char* file_name) {
  std::fputs(kProtectingHeaders, stdout);
  std::printf("Content-Type: %s\nContent-Disposition: attachment; filename=\"%s\"\n\n", type,
              file_name);
}

void PrintPageHeader(const char* status) {
  PrintResponseHeaders(status);
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
  if (SessionOfPages()) PrintSessionBar(*SessionOfPages());
}

void SetPageSession(std::optional<PageSession> session) { SessionOfPages() = std::move(session); }

const std::optional<PageSession>& CurrentPageSession() { return SessionOfPages(); }

void PrintPageFooter() { std::fputs("</CENTER>\n</BODY>\n</HTML>\n", stdout); }

void PrintMessagePage(const char* message, bool back_link, const char* status) {
  PrintPageHeader(status);
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
