// The pages of signing in and of the sessions.
#include <cstdio>

#include "access/access.h"
#include "access/access_texts.h"
#include "cgi/messages_texts.h"
#include "page/page.h"

namespace orvanta {

namespace {

constexpr char kSessionsCommand[] = "SESSIONS";
constexpr char kSessionField[] = "SESSION";
constexpr char kOperatorField[] = "OPERATOR";
constexpr char kSessionsEnded[] = "ended";

const char* NoticeText(SignInNotice notice) {
  switch (notice) {
    case SignInNotice::Failed:
      return kSignInFailedNotice;
    case SignInNotice::SignedOut:
      return kSignedOutNotice;
    case SignInNotice::PleaseSignIn:
      break;
  }
  return kMessageNotLoggedIn;
}

void PrintCell(const std::string& text) { std::printf("<TD NOWRAP>%s</TD>", Html(text).c_str()); }

// A button that posts SESSIONS with one field.
void PrintEndForm(const char* field, const std::string& value, const char* button) {
  std::fputs("<TD>", stdout);
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", kSessionsCommand);
  PrintHiddenField(field, value);
  std::fputs(button, stdout);
  std::fputs("</FORM></TD>", stdout);
}

void PrintSessions(const char* notice) {
  const std::vector<SessionRecord> sessions = LiveSessions(RunOperators());
  PrintPageHeader();
  std::fputs(notice, stdout);
  std::fputs(kSessionsOpening, stdout);
  for (const SessionRecord& session : sessions) {
    const bool this_one = RunSession() && RunSession()->digest == session.digest;
    std::printf("<TR><TD NOWRAP>%s%s</TD>", Html(session.operator_name).c_str(),
                this_one ? kSessionsThisOne : "");
    PrintCell(session.address);
    PrintCell(FormatDateTimeAt(session.start));
    PrintCell(FormatDateTimeAt(session.last));
    PrintEndForm(kSessionField, session.digest, kSessionsEndOneButton);
    PrintEndForm(kOperatorField, session.operator_name, kSessionsEndAllButton);
    std::fputs("</TR>\n", stdout);
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageFooter();
}

}  // namespace

void PrintSignInPage(SignInNotice notice, std::string_view return_query, const char* headers) {
  PrintPageHeader(headers);
  std::printf("%s<BR>\n", NoticeText(notice));
  if (!ArrivedOverHttps() && !FromLoopback()) std::fputs(kClearTextWarning, stdout);
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", kSignInCommand);
  if (!return_query.empty()) PrintHiddenField("RETURN", std::string(return_query));
  std::fputs(kSignInTable, stdout);
  PrintPageFooter();
}

void PrintSignedInRedirect(const std::string& headers, const std::string& target) {
  PrintPageHeader(headers.c_str());
  std::printf(kSignedInFormat, kCgiName, Html(target).c_str());
  PrintPageFooter();
}

void PrintSessionsPage() { PrintSessions(""); }

void EndChosenSessions() {
  const std::string& digest = Param(kSessionField);
  const std::string& name = Param(kOperatorField);
  std::vector<SessionRecord> chosen;
  for (SessionRecord& session : LiveSessions(RunOperators())) {
    if ((!digest.empty() && session.digest == digest) ||
        (!name.empty() && session.operator_name == name)) {
      chosen.push_back(std::move(session));
    }
  }
  for (const SessionRecord& session : chosen) {
    EndSession(session.digest);
    AuditEvent(kSessionsCommand, session.operator_name, kSessionsEnded);
  }
  PrintSessions(chosen.empty() ? "" : kSessionsEndedNotice);
}

}  // namespace orvanta
