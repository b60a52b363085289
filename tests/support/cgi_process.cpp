#include "tests/support/cgi_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace orvanta::test {

namespace {

constexpr char kNssWrapper[] = "libnss_wrapper.so";

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::string CgiProgramPath() { return ORVANTA_CGI_PATH; }

CgiRequest Get(const std::string& query) {
  CgiRequest request;
  request.method = "GET";
  request.query = query;
  return request;
}

CgiRequest Post(const std::string& body) {
  CgiRequest request;
  request.method = "POST";
  request.query = std::nullopt;
  request.body = body;
  return request;
}

CgiSandbox::CgiSandbox() {
  char pattern[] = "/tmp/orvanta-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = made;
  chmod(dir_.c_str(), 0755);
  std::filesystem::create_directories(PathOf("root/home"));
  chmod(PathOf("root").c_str(), 0755);
  chmod(PathOf("root/home").c_str(), 0755);
  SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\n");
  SetShadow("");
}

CgiSandbox::~CgiSandbox() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void CgiSandbox::WriteFile(const std::string& name, const std::string& content) const {
  std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string CgiSandbox::ReadFile(const std::string& name) const {
  std::ifstream in(PathOf(name), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool CgiSandbox::Exists(const std::string& name) const {
  struct stat info {};
  return lstat(PathOf(name).c_str(), &info) == 0;
}

void CgiSandbox::SetAccounts(const std::string& passwd, const std::string& group) const {
  WriteFile("test.passwd", passwd);
  WriteFile("test.group", group);
}

void CgiSandbox::SetAccountFiles(const std::string& passwd_path, const std::string& group_path,
                                 const std::string& shadow_path) {
  passwd_path_ = passwd_path;
  group_path_ = group_path;
  shadow_path_ = shadow_path;
}

void CgiSandbox::SetConfig(const std::string& content) const {
  // The host's login.defs never decides how a test registers: the file of
  // root/etc/ does, which a test may write (none: useradd makes the groups).
  std::string home_tree = "HOME_CHECK_ROOT=" + PathOf("root") + "\n";
  if (content.find("LOGIN_DEFS=") == std::string::npos) {
    home_tree += "LOGIN_DEFS=" + PathOf("root/etc/login.defs") + "\n";
  }
  // Nor does the host's pwquality.conf: only what the forms refuse is refused.
  if (content.find("PWQUALITY_CONF=") == std::string::npos) {
    WriteFile("pwquality.conf", kLenientPasswordQuality);
    home_tree += "PWQUALITY_CONF=" + PathOf("pwquality.conf") + "\n";
  }
  if (content.find("CHPASSWD=") != std::string::npos) {
    return WriteFile("cfg_file.cfg", home_tree + content);
  }
  WriteFile("cfg_file.cfg",
            home_tree + content + "\nCHPASSWD=" + AddRecordingTool("chpasswd", 0) + "\n");
}

std::string CgiSandbox::AddRecordingTool(const std::string& name, int exit_code) const {
  const std::string path = PathOf(name);
  const std::string calls = PathOf(name + ".calls");
  WriteFile(name, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + calls +
                      "'; done\necho -- >> '" + calls + "'\nwhile IFS= read -r l; do printf '%s\\n' \"$l\" >> '" +
                      PathOf(name + ".input") + "'; done\nexit " + std::to_string(exit_code) + "\n");
  chmod(path.c_str(), 0755);
  return path;
}

std::vector<std::vector<std::string>> CgiSandbox::CallsOf(const std::string& tool) const {
  std::vector<std::vector<std::string>> calls;
  std::istringstream in(ReadFile(tool + ".calls"));
  std::vector<std::string> current;
  for (std::string line; std::getline(in, line);) {
    if (line == "--") {
      calls.push_back(current);
      current.clear();
    } else {
      current.push_back(line);
    }
  }
  return calls;
}

std::vector<std::string> CgiSandbox::LogRecords() const {
  std::vector<std::string> records;
  if (!Exists("orvanta.log")) return records;
  static const std::regex kTail(",192\\.0\\.2\\.10,\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}$");
  std::istringstream in(ReadFile("orvanta.log"));
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(line, match, kTail)) << line;
    records.push_back(match.prefix());
  }
  return records;
}

CgiResult CgiSandbox::Run(const CgiRequest& request, const std::vector<std::string>& prefix,
                          const std::string& program) const {
  return Finish(Start(request, prefix, program, ".stdin"), request.client_gone);
}

std::vector<CgiResult> CgiSandbox::RunTogether(const std::vector<CgiRequest>& requests,
                                               const std::string& program) const {
  std::vector<Started> started;
  for (size_t i = 0; i < requests.size(); ++i) {
    started.push_back(Start(requests[i], {}, program, ".stdin" + std::to_string(i)));
  }
  std::vector<CgiResult> results;
  for (size_t i = 0; i < requests.size(); ++i) {
    results.push_back(Finish(started[i], requests[i].client_gone));
  }
  return results;
}

CgiSandbox::Started CgiSandbox::Start(const CgiRequest& request,
                                      const std::vector<std::string>& prefix,
                                      const std::string& program,
                                      const std::string& stdin_name) const {
  std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                  std::string("LD_PRELOAD=") + kNssWrapper,
                                  "NSS_WRAPPER_PASSWD=" +
                                      (passwd_path_.empty() ? PathOf("test.passwd") : passwd_path_),
                                  "NSS_WRAPPER_GROUP=" +
                                      (group_path_.empty() ? PathOf("test.group") : group_path_),
                                  "NSS_WRAPPER_SHADOW=" + (shadow_path_.empty()
                                                               ? PathOf("test.shadow")
                                                               : shadow_path_)};
  // nss_wrapper loads libc with RTLD_DEEPBIND for the host lookups libldap
  // makes, which the sanitizers' runtime refuses.
  env.push_back("NSS_WRAPPER_DISABLE_DEEPBIND=1");
  if (request.method) env.push_back("REQUEST_METHOD=" + *request.method);
  if (request.query) env.push_back("QUERY_STRING=" + *request.query);
  if (request.content_length) {
    env.push_back("CONTENT_LENGTH=" + *request.content_length);
  } else if (request.method == "POST") {
    env.push_back("CONTENT_LENGTH=" + std::to_string(request.body.size()));
  }
  if (request.remote_addr) env.push_back("REMOTE_ADDR=" + *request.remote_addr);
  for (const std::string& extra : request.extra_env) env.push_back(extra);
  // The directory store of this build, unless the request names another
  // (the first of two entries counts); a set-user-ID run ignores both.
  env.push_back(std::string("ORVANTA_LDAP_MODULE=") + ORVANTA_LDAP_MODULE_BUILT);
  // Sanitizer settings pass through; LeakSanitizer cannot run under a
  // tracer, so it is switched off when the run is traced.
  const bool traced = !prefix.empty() && prefix.front().ends_with("strace");
  for (const char* inherited : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(inherited)) {
      std::string entry = std::string(inherited) + "=" + value;
      if (traced && entry.starts_with("ASAN_OPTIONS=")) entry += ":detect_leaks=0";
      env.push_back(entry);
    }
  }

  std::vector<std::string> argv = prefix;
  argv.push_back(program.empty() ? CgiProgramPath() : program);

  WriteFile(stdin_name, request.body);
  int out_pipe[2];
  if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir_.c_str()) != 0) _exit(126);
    const int in = open(PathOf(stdin_name).c_str(), O_RDONLY);
    dup2(in, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    const int err = open(PathOf(".stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(err, STDERR_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  return Started{child, out_pipe[0]};
}

CgiResult CgiSandbox::Finish(const Started& started, bool client_gone) {
  const int out = started.out;
  if (client_gone) close(out);
  CgiResult result;
  char buffer[65536];
  ssize_t got = 0;
  while (!client_gone && (got = read(out, buffer, sizeof buffer)) > 0) {
    result.out.append(buffer, static_cast<size_t>(got));
  }
  if (!client_gone) close(out);
  int status = 0;
  rusage usage{};
  wait4(started.child, &status, 0, &usage);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return result;
}

}  // namespace orvanta::test
