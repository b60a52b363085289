// The account and group databases, read when a page or action first needs
// them. The user list of 100,000 accounts is one arena of text and a record
// of offsets per account; actions on a few accounts only stream the
// database for the names they involve.
#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cstring>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr size_t kArenaBlock = size_t{1} << 20;

std::string_view OrEmpty(const char* text) { return text ? text : ""; }

std::optional<AccountEntries>& FixedEntries() {
  static std::optional<AccountEntries> entries;
  return entries;
}

std::optional<UserTable>& LoadedUsers() {
  static std::optional<UserTable> table;
  return table;
}

std::optional<GroupTables>& LoadedGroups() {
  static std::optional<GroupTables> tables;
  return tables;
}

// Calls `visit` with every account of the database, in its order.
template <typename Visit>
void ForEachAccount(Visit visit) {
  if (FixedEntries()) {
    for (const UserEntry& user : FixedEntries()->users) {
      visit(user.name, user.uid, user.gid, user.gecos, user.dir, user.shell);
    }
    return;
  }
  setpwent();
  while (const passwd* pw = getpwent()) {
    visit(OrEmpty(pw->pw_name), pw->pw_uid, pw->pw_gid, OrEmpty(pw->pw_gecos),
          OrEmpty(pw->pw_dir), OrEmpty(pw->pw_shell));
  }
  endpwent();
}

template <typename Visit>
void ForEachGroup(Visit visit) {
  if (FixedEntries()) {
    for (const GroupEntry& group : FixedEntries()->groups) visit(GroupEntry(group));
    return;
  }
  setgrent();
  while (const group* gr = getgrent()) {
    GroupEntry entry{std::string(OrEmpty(gr->gr_name)), gr->gr_gid};
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
      entry.members.emplace_back(*member);
    }
    visit(std::move(entry));
  }
  endgrent();
}

// FNV-1a: repeated names are found by sorting hashes, not by indexing names.
std::uint64_t HashOf(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

}  // namespace

void SetAccountEntries(std::optional<AccountEntries> entries) {
  FixedEntries() = std::move(entries);
  ForgetAccounts();
}

void ForgetAccounts() {
  LoadedUsers().reset();
  LoadedGroups().reset();
}

// ---- The user table ------------------------------------------------------------

void UserTable::Add(std::string_view name, std::uint32_t uid, std::uint32_t gid,
                    std::string_view gecos, std::string_view dir, std::string_view shell) {
  const std::string_view fields[] = {name, gecos, dir, shell};
  size_t needed = 0;
  for (std::string_view field : fields) needed += field.size();
  // Blocks are never moved, so a record's pointer stays valid, and the arena
  // grows without copying what it holds.
  if (blocks_.empty() || block_size_ - block_used_ < needed) {
    block_size_ = std::max(kArenaBlock, needed);
    blocks_.push_back(std::make_unique<char[]>(block_size_));
    block_used_ = 0;
  }
  char* text = blocks_.back().get() + block_used_;
  Record record{text, {}, uid, gid};
  for (size_t i = 0; i < 4; ++i) {
    std::memcpy(text, fields[i].data(), fields[i].size());
    text += fields[i].size();
    record.lengths[i] = static_cast<std::uint32_t>(fields[i].size());
  }
  block_used_ += needed;
  order_.push_back(static_cast<std::uint32_t>(records_.size()));
  records_.push_back(record);
}

UserTable::Row UserTable::RowOf(std::uint32_t index) const {
  const Record& record = records_[index];
  std::string_view fields[4];
  const char* text = record.text;
  for (size_t i = 0; i < 4; ++i) {
    fields[i] = std::string_view(text, record.lengths[i]);
    text += record.lengths[i];
  }
  return {fields[0], fields[1], fields[2], fields[3], record.uid, record.gid};
}

bool UserTable::IsRepeatedName(size_t i) const { return repeated_[order_[i]]; }

void UserTable::Sort(std::string_view order) {
  if (order == "SORT_BY_UID") {
    // uid above, database position below: one sort of plain numbers that
    // keeps equal uids in database order.
    std::vector<std::uint64_t> keys(records_.size());
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
      keys[i] = (std::uint64_t{records_[i].uid} << 32) | i;
    }
    std::sort(keys.begin(), keys.end());
    for (size_t i = 0; i < keys.size(); ++i) order_[i] = static_cast<std::uint32_t>(keys[i]);
  } else if (order == "SORT_BY_NAME") {
    // std::string_view compares bytes as unsigned char, so EUC-JP names sort last.
    std::stable_sort(order_.begin(), order_.end(), [this](std::uint32_t a, std::uint32_t b) {
      return RowOf(a).name < RowOf(b).name;
    });
  }
}

void UserTable::MarkRepeatedNames() {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> hashes(records_.size());
  for (std::uint32_t i = 0; i < hashes.size(); ++i) hashes[i] = {HashOf(RowOf(i).name), i};
  std::sort(hashes.begin(), hashes.end());
  repeated_.assign(records_.size(), false);
  for (size_t run = 0; run < hashes.size();) {
    size_t end = run + 1;
    while (end < hashes.size() && hashes[end].first == hashes[run].first) ++end;
    // Within a run of equal hashes, compare the names themselves.
    for (size_t a = run; a < end; ++a) {
      for (size_t b = a + 1; b < end; ++b) {
        if (RowOf(hashes[a].second).name == RowOf(hashes[b].second).name) {
          repeated_[hashes[a].second] = true;
          repeated_[hashes[b].second] = true;
        }
      }
    }
    run = end;
  }
}

const UserTable& AllUsers() {
  if (!LoadedUsers()) {
    UserTable& table = LoadedUsers().emplace();
    ForEachAccount([&](std::string_view name, std::uint32_t uid, std::uint32_t gid,
                       std::string_view gecos, std::string_view dir, std::string_view shell) {
      table.Add(name, uid, gid, gecos, dir, shell);
    });
    table.Sort(Setting("SORT"));
    table.MarkRepeatedNames();
  }
  return *LoadedUsers();
}

// ---- Groups ------------------------------------------------------------------------

std::string_view GroupTables::NameOf(std::uint32_t gid) const {
  const auto found = by_gid.find(gid);
  return found == by_gid.end() ? std::string_view() : std::string_view(found->second.name);
}

const GroupTables& AllGroups() {
  if (!LoadedGroups()) {
    GroupTables& tables = LoadedGroups().emplace();
    // The last entry of a name or gid is the one the tables keep.
    ForEachGroup([&](GroupEntry entry) {
      if (tables.by_name.count(entry.name) != 0) tables.repeated_names.insert(entry.name);
      tables.by_gid[entry.gid] = entry;
      const std::string name = entry.name;
      tables.by_name[name] = std::move(entry);
    });
  }
  return *LoadedGroups();
}

// ---- The accounts of one action --------------------------------------------------

const UserEntry* FoundUsers::Single(std::string_view name) const {
  const auto found = by_name.find(name);
  return found != by_name.end() && found->second.size() == 1 ? &found->second.front() : nullptr;
}

FoundUsers FindUsers(const std::set<std::string, std::less<>>& names,
                     std::optional<std::uint32_t> uid) {
  FoundUsers found;
  ForEachAccount([&](std::string_view name, std::uint32_t entry_uid, std::uint32_t gid,
                     std::string_view gecos, std::string_view dir, std::string_view shell) {
    if (uid && entry_uid == *uid) found.uid_taken = true;
    if (names.count(name) == 0) return;
    found.by_name[std::string(name)].push_back({std::string(name), entry_uid, gid,
                                                std::string(gecos), std::string(dir),
                                                std::string(shell)});
  });
  return found;
}

}  // namespace orvanta
