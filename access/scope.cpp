// What the run's operator may do, and to which accounts and groups.
#include <optional>
#include <string>
#include <string_view>

#include "access/access.h"
#include "cgi/messages_texts.h"

namespace orvanta {

namespace {

constexpr char kEverything[] = "*";
constexpr char kRefusedResult[] = "refused-by-scope";

struct ActionName {
  std::string_view word;
  Action action;
};

constexpr ActionName kActionNames[] = {
    {"view", Action::View},     {"add", Action::Add}, {"batch", Action::Batch},
    {"mod", Action::Mod},       {"del", Action::Del}, {"lock", Action::Lock},
    {"member", Action::Member}, {"age", Action::Age}, {"group", Action::Group},
    {"log", Action::Log},       {"keys", Action::Keys}, {"weakpw", Action::WeakPw},
};

// Splits at every separator; "" gives one empty piece.
std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  while (true) {
    const size_t end = text.find(separator);
    pieces.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return pieces;
    text.remove_prefix(end + 1);
  }
}

// Decimal digits only, at most 4294967295.
std::optional<std::uint32_t> Digits(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<UidRange> ParseRange(std::string_view text) {
  const std::vector<std::string_view> ends = Split(text, '-');
  if (ends.size() != 2) return std::nullopt;
  const std::optional<std::uint32_t> low = Digits(ends[0]);
  const std::optional<std::uint32_t> high = Digits(ends[1]);
  if (!low || !high || *low > *high) return std::nullopt;
  return UidRange{*low, *high};
}

// A group name of a scope: printable, no blank, no separator of the scope
// or of the operators file.
bool IsScopeGroupName(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    if (c < 0x21 || c > 0x7E || c == ',' || c == ';' || c == ':' || c == '=') return false;
  }
  return true;
}

std::optional<Action> ActionNamed(std::string_view word) {
  for (const ActionName& entry : kActionNames) {
    if (entry.word == word) return entry.action;
  }
  return std::nullopt;
}

struct ParsedScope {
  std::string text;
  std::optional<OperatorScope> scope;
};

}  // namespace

std::optional<OperatorScope> OperatorScope::Parse(std::string_view text) {
  OperatorScope scope;
  if (text == kEverything) return scope;
  std::set<std::string_view> keys;
  for (const std::string_view part : Split(text, ';')) {
    const size_t equals = part.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = part.substr(0, equals);
    if (!keys.insert(key).second || !scope.ParsePart(key, part.substr(equals + 1))) {
      return std::nullopt;
    }
  }
  if (keys.count("actions") == 0) scope.actions_ &= ~(Bit(Action::Keys) | Bit(Action::WeakPw));
  return scope;
}

bool OperatorScope::ParsePart(std::string_view key, std::string_view value) {
  if (key == "groups") {
    for (const std::string_view name : Split(value, ',')) {
      if (!IsScopeGroupName(name)) return false;
      groups_.emplace_back(name);
    }
    return true;
  }
  if (key == "uids") {
    uids_ = ParseRange(value);
    return uids_.has_value();
  }
  if (key != "actions") return false;
  actions_ = 0;
  if (value.empty()) return true;
  for (const std::string_view word : Split(value, ',')) {
    const std::optional<Action> action = ActionNamed(word);
    if (!action) return false;
    actions_ |= Bit(*action);
  }
  return true;
}

bool OperatorScope::OwnsUid(std::uint32_t uid) const {
  return !uids_ || (uid >= uids_->low && uid <= uids_->high);
}

bool OperatorScope::OwnsAccount(std::uint32_t uid, std::uint32_t primary_gid) const {
  if (!OwnsUid(uid)) return false;
  if (groups_.empty()) return true;
  if (!group_gids_) {
    group_gids_.emplace();
    const auto& by_name = AllGroups().by_name;
    for (const std::string& name : groups_) {
      if (const auto found = by_name.find(name); found != by_name.end()) {
        group_gids_->insert(found->second.gid);
      }
    }
  }
  return group_gids_->count(primary_gid) != 0;
}

bool OperatorScope::OwnsGroupName(std::string_view name) const {
  if (groups_.empty()) return true;
  for (const std::string& listed : groups_) {
    if (listed == name) return true;
  }
  return false;
}

const OperatorScope& CurrentScope() {
  // Parsed again only when tests set another operator.
  static ParsedScope parsed;
  const Operator& who = CurrentOperator();
  if (!parsed.scope || parsed.text != who.scope) {
    parsed.scope = OperatorScope::Parse(who.scope);
    parsed.text = who.scope;
  }
  if (!parsed.scope) {
    ErrorLogLine("operator " + Printable(who.name) + " refused: malformed scope");
    throw ErrorCode{kErrorNotLoggedIn};
  }
  return *parsed.scope;
}

void CheckOperatorScope() { CurrentScope(); }

const char* NoteRefusedByScope(std::string_view name) {
  AuditEvent(Param("COMMAND"), name, kRefusedResult);
  return kMessageNotPermitted;
}

void RefuseByScope(std::string_view name) { ThrowMessage(NoteRefusedByScope(name)); }

}  // namespace orvanta
