// A throw-away slapd for the process-level tests of the directory backend,
// started, seeded and discarded by scripts/serve.d/slapd (the script that
// scripts/serve --ldap uses).
#pragma once

#include <string>

#include "tests/support/cgi_process.h"

namespace orvanta::test {

class DirectoryServer {
 public:
  // Seeds the directory from passwd(5), group(5) and shadow(5) text, then
  // the entries of `ldif`, in box's directory ldap/.
  // With `tls`, the server also listens on loopback ports for StartTLS and
  // ldaps, with a certificate for localhost signed by TlsFile("ca.crt").
  // With `sorts_pages`, it also sorts and pages on its side (sssvlv).
  // `variables` ("NAME=value ...") go to the script as well: SLAPD_STOCK_NIS,
  // SLAPD_OTHER_TREE.
  DirectoryServer(const CgiSandbox& box, const std::string& passwd, const std::string& group,
                  const std::string& shadow, const std::string& ldif = "", bool tls = false,
                  bool sorts_pages = false, const std::string& variables = "");
  // A read-only replica of `provider` (a syncrepl consumer that refers
  // writes to it) in box's directory `name`, started once it holds the tree.
  DirectoryServer(const CgiSandbox& box, const std::string& name, const DirectoryServer& provider);
  ~DirectoryServer();
  DirectoryServer(const DirectoryServer&) = delete;
  DirectoryServer& operator=(const DirectoryServer&) = delete;

  // The program's settings for this server (ACCOUNTS=ldap and the LDAP_*).
  std::string Settings() const;
  // Its ldapi:// URI.
  std::string Uri() const;
  // The server's process.
  int Pid() const;
  // The entries the filter finds, as unwrapped LDIF of the attributes named
  // (blank-separated; all user attributes when empty), read as the rootdn.
  std::string Search(const std::string& filter, const std::string& attributes = "") const;

  int starttls_port() const { return starttls_port_; }
  int ldaps_port() const { return ldaps_port_; }
  // ca.crt, or other-ca.crt: a CA that did not sign the server's certificate.
  std::string TlsFile(const std::string& name) const { return dir_ + "/tls/" + name; }

 private:
  std::string dir_;
  int starttls_port_ = 0;
  int ldaps_port_ = 0;
};

}  // namespace orvanta::test
