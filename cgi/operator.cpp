// Who acts in this run, and the system log that names them.
#include <syslog.h>

#include <optional>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

std::optional<Operator>& VerifiedOperator() {
  static std::optional<Operator> who;
  return who;
}

AuditWriter& ActiveAuditWriter() {
  static AuditWriter writer;
  return writer;
}

// Fields are the request's bytes: made printable so that no value can end
// the line or forge another field.
std::string AuditLine(std::string_view command, std::string_view name, std::string_view result) {
  return "operator=" + Printable(CurrentOperator().name) + " address=" +
         Printable(Param("REMOTE_ADDR")) + " command=" + Printable(command) +
         " name=" + Printable(name) + " result=" + Printable(result);
}

}  // namespace

const Operator& CurrentOperator() {
  if (!VerifiedOperator()) {
    VerifiedOperator() = Operator{std::string(Env("REMOTE_USER")), "*"};
  }
  return *VerifiedOperator();
}

void SetCurrentOperator(Operator who) { VerifiedOperator() = std::move(who); }

void SetAuditWriter(AuditWriter writer) { ActiveAuditWriter() = std::move(writer); }

void AuditEvent(std::string_view command, std::string_view name, std::string_view result) {
  const std::string line = AuditLine(command, name, result);
  const int priority = LOG_AUTHPRIV | LOG_NOTICE;
  if (ActiveAuditWriter()) {
    ActiveAuditWriter()(priority, line);
    return;
  }
  openlog("orvanta", LOG_PID, LOG_AUTHPRIV);
  syslog(priority, "%s", line.c_str());
  closelog();
}

void AuditExport(std::string_view list, size_t rows) {
  AuditEvent(Param("COMMAND"), list, "exported-" + std::to_string(rows) + "-rows");
}

}  // namespace orvanta
