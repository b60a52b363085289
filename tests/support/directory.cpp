#include "tests/support/directory.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "hosttools/hosttools.h"

namespace orvanta::test {

namespace {

const std::string kScript = std::string(ORVANTA_SOURCE_DIR) + "/scripts/serve.d/slapd";
constexpr char kBase[] = "dc=orvanta,dc=test";

std::string Output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char buffer[4096];
  size_t got = 0;
  while (pipe && (got = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, got);
  return out;
}

// A loopback port nobody listens on now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

DirectoryServer::DirectoryServer(const CgiSandbox& box, const std::string& passwd,
                                 const std::string& group, const std::string& shadow,
                                 const std::string& ldif, bool tls, bool sorts_pages,
                                 const std::string& variables)
    : dir_(box.PathOf("ldap")) {
  std::filesystem::create_directories(box.PathOf("seed"));
  box.WriteFile("seed/passwd", passwd);
  box.WriteFile("seed/group", group);
  box.WriteFile("seed/shadow", shadow);
  box.WriteFile("seed.ldif", ldif);
  std::string ports;
  if (tls) {
    starttls_port_ = FreePort();
    ldaps_port_ = FreePort();
    ports = "SLAPD_TLS_PORTS=" + ShellWord(std::to_string(starttls_port_) + " " +
                                         std::to_string(ldaps_port_)) + " ";
  }
  if (sorts_pages) ports += "SLAPD_SSSVLV=1 ";
  if (!variables.empty()) ports += variables + " ";
  const std::string start = ports + ShellWord(kScript) + " start " + ShellWord(dir_) + " " +
                            ShellWord(box.PathOf("seed")) + " " +
                            ShellWord(box.PathOf("seed.ldif"));
  EXPECT_EQ(std::system(start.c_str()), 0) << start;
}

DirectoryServer::DirectoryServer(const CgiSandbox& box, const std::string& name,
                                 const DirectoryServer& provider)
    : dir_(box.PathOf(name)) {
  const std::string start =
      ShellWord(kScript) + " replica " + ShellWord(dir_) + " " + ShellWord(provider.dir_);
  EXPECT_EQ(std::system(start.c_str()), 0) << start;
}

DirectoryServer::~DirectoryServer() {
  std::system((ShellWord(kScript) + " discard " + ShellWord(dir_)).c_str());
}

std::string DirectoryServer::Settings() const {
  return Output(ShellWord(kScript) + " settings " + ShellWord(dir_));
}

std::string DirectoryServer::Uri() const {
  const std::string uri = Output(ShellWord(kScript) + " uri " + ShellWord(dir_));
  return uri.substr(0, uri.size() - 1);
}

int DirectoryServer::Pid() const {
  return std::atoi(Output("cat " + ShellWord(dir_ + "/slapd.pid")).c_str());
}

std::string DirectoryServer::Search(const std::string& filter,
                                    const std::string& attributes) const {
  return Output("ldapsearch -x -LLL -o ldif-wrap=no -H " + ShellWord(Uri()) + " -D cn=admin," +
                kBase + " -y " +
                ShellWord(dir_ + "/bindpw") + " -b " + kBase + " " + ShellWord(filter) + " " +
                attributes);
}

}  // namespace orvanta::test
