// With the directory, the loaded store works with the program's own
// settings, change lock, runner and home steps (and their test seams): it
// is lent them here, where every layer is in reach. No exception crosses
// back into the store: a host function that throws answers "no".
#include "app/app.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "store/store.h"
#include "user/user.h"

namespace orvanta {

namespace {

constexpr int kToolFailed = 1;
constexpr char kRulesNotRead[] = "the home rules could not be read";

template <typename Call, typename Fallback>
auto Guarded(Call call, Fallback fallback) -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    return fallback;
  }
}

void Give(const std::string& text, OrvantaTextSink sink, void* context) {
  sink(context, {text.data(), text.size()});
}

const char* SettingOf(const char* name) {
  // Only the settings: a request parameter of another name is no setting.
  if (!IsSettingName(name)) return "";
  return Guarded([&] { return Param(name).c_str(); }, "");
}

int HoldLock() {
  return Guarded([] { return HoldChangeLock() ? 1 : 0; }, 0);
}

int Run(const char* line) {
  return Guarded([&] { return RunCommandLine(line); }, kToolFailed);
}

// Its output goes to the error log, as every tool's.
int RunArchive(const char* line) {
  return Guarded(
      [&] { return RunCommandLineTo(line, kOutputToErrorLog, ArchiveTimeoutSeconds()); },
      kToolFailed);
}

void Hash(const char* password, OrvantaTextSink sink, void* context) {
  Give(Guarded([&] { return HashPassword(password); }, std::string()), sink, context);
}

void HomeOf(const char* name, const char* dir, OrvantaTextSink sink, void* context) {
  const auto home = [&] {
    NewAccount account;
    account.name = name;
    account.dir = dir;
    return NewHomeOf(account);
  };
  Give(Guarded(home, std::string()), sink, context);
}

// A rule that could not be looked at refuses the home.
void HomeRefusal(OrvantaText name, OrvantaText path, OrvantaTextSink sink, void* context) {
  const auto refusal = [&] {
    const char* reason =
        HomeRefusalNow({name.data, name.size}, std::string(path.data, path.size));
    return std::string(reason == nullptr ? "" : reason);
  };
  Give(Guarded(refusal, std::string(kRulesNotRead)), sink, context);
}

void OpenUp(const char* name, const char* path) {
  Guarded(
      [&] {
        OpenUpNewHome(name, path);
        return 0;
      },
      0);
}

void KeyDigest(OrvantaText content, OrvantaTextSink sink, void* context) {
  Give(Guarded([&] { return KeyFileDigest({content.data, content.size}); }, std::string()), sink,
       context);
}

const AccountReaders kDirectoryReaders = {ForEachDirectoryAccount, ForEachDirectoryGroup,
                                          ForEachDirectoryAccountOf};

// Everything that may change accounts comes by POST (the command tables):
// such a run decides and writes on the provider alone.
bool RunMayChange() { return Param("REQUEST_METHOD") == "POST"; }

}  // namespace

void ChooseAccountStore() {
  const bool directory = UsesDirectory();
  SetAccountReaders(directory ? &kDirectoryReaders : nullptr);
  if (!directory) return UseAccountStore(HostToolStore());
  static OrvantaDirectoryHost host;
  host = {SettingOf, static_cast<int>(AccountsSetting()),
          static_cast<int>(YesNoSetting("LDAP_STARTTLS")), HoldLock, Run, RunArchive, Hash, HomeOf,
          HomeRefusal, OpenUp, RunMayChange() ? 1 : 0, KeyDigest};
  SetDirectoryHost(&host);
  UseAccountStore(DirectoryStore());
}

}  // namespace orvanta
