#include "tests/support/program_state.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/app.h"
#include "hosttools/hosttools.h"
#include "store/store.h"
#include "tests/support/cgi_process.h"

namespace orvanta::test {

void ProgramTest::SetUp() {
  gCGIData.clear();
  gErrorMessage.clear();
  gRequestText.clear();
  entries_ = {};
  SetAccountEntries(entries_);
  commands.clear();
  inputs.clear();
  results.clear();
  SetCurrentOperator({});
  audit_lines.clear();
  SetAuditWriter([this](int priority, const std::string& line) {
    audit_lines.push_back(std::to_string(priority) + " " + line);
  });
  SetCommandRunner([this](const std::string& line, std::string_view input) {
    const size_t call = commands.size();
    commands.push_back(line);
    inputs.emplace_back(input);
    const auto found = results.find(call);
    return found == results.end() ? 0 : found->second;
  });
  char pattern[] = "/tmp/orvanta-unit-XXXXXX";
  work_dir = mkdtemp(pattern);
  previous_dir_ = std::filesystem::current_path();
  std::filesystem::current_path(work_dir);
  // The home rules look at work_dir, whose home/ is empty.
  std::filesystem::create_directory(work_dir + "/home");
  SetParam("HOME_CHECK_ROOT", work_dir);
  // No login.defs of the host's: useradd is left to make every group.
  SetParam("LOGIN_DEFS", work_dir + "/login.defs");
  std::ofstream(work_dir + "/pwquality.conf") << kLenientPasswordQuality;
  SetParam("PWQUALITY_CONF", work_dir + "/pwquality.conf");
}

void ProgramTest::TearDown() {
  SetAccountEntries(std::nullopt);
  SetAccountReaders(nullptr);
  UseAccountStore(HostToolStore());
  SetCommandRunner(nullptr);
  SetAuditWriter(nullptr);
  std::filesystem::current_path(previous_dir_);
  std::error_code ignored;
  std::filesystem::remove_all(work_dir, ignored);
}

void ProgramTest::Params(const std::map<std::string, std::string>& entries) {
  for (const auto& [name, value] : entries) SetParam(name, value);
}

void ProgramTest::Users(const std::vector<UserEntry>& users) {
  entries_.users.insert(entries_.users.end(), users.begin(), users.end());
  SetAccountEntries(entries_);
}

void ProgramTest::Groups(const std::vector<GroupEntry>& groups) {
  entries_.groups.insert(entries_.groups.end(), groups.begin(), groups.end());
  SetAccountEntries(entries_);
}

std::string ProgramTest::Capture(const std::function<void()>& step) {
  ::testing::internal::CaptureStdout();
  try {
    step();
  } catch (ErrorCode code) {
    ReportError(code);
  }
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

std::string ProgramTest::LogText() const {
  std::ifstream in(work_dir + "/orvanta.log", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ProgramTest::LogExists() const { return std::filesystem::exists(work_dir + "/orvanta.log"); }

}  // namespace orvanta::test
