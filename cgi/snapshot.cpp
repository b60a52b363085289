// The account and group databases, read when a page or action first needs
// them. The user list of 100,000 accounts is one arena of text and a record
// of offsets per account; actions on a few accounts only stream the
// database for the names they involve.
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kArenaBlock = kHugePage;
// Below this, the C library's heap serves better than a mapping of its own.
constexpr size_t kLargeRequest = size_t{256} << 10;

size_t RoundToHugePages(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

std::string_view OrEmpty(const char* text) { return text ? text : ""; }

const AccountReaders*& Readers() {
  static const AccountReaders* readers = nullptr;
  return readers;
}

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
  if (Readers() != nullptr) return Readers()->accounts(visit);
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
  if (Readers() != nullptr) return Readers()->groups(visit);
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

// The accounts of `query` and perhaps others; the readers of the directory
// look them up instead of reading every account.
template <typename Visit>
void ForEachAccountOf(const AccountQuery& query, Visit visit) {
  if (!FixedEntries() && Readers() != nullptr) return Readers()->accounts_of(query, visit);
  ForEachAccount(visit);
}

// Whether the normalised home is one of the asked paths, lies below one
// (one of its parents is asked about) or above one (an asked path starts
// with it and a '/').
bool MeetsAskedHome(const std::string& home, const std::set<std::string, std::less<>>& asked) {
  if (asked.count(home) != 0) return true;
  const std::string below = home == "/" ? home : home + "/";
  const auto next = asked.lower_bound(below);
  if (next != asked.end() && next->starts_with(below)) return true;
  for (const std::string& parent : PathParents(home)) {
    if (asked.count(parent) != 0) return true;
  }
  return false;
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

void* AllocateLarge(size_t bytes) {
  if (bytes < kLargeRequest) {
    void* block = std::malloc(bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  // Map one huge page more than needed and cut the mapping to a 2 MiB
  // boundary, so that the kernel can back it with huge pages.
  const size_t size = RoundToHugePages(bytes);
  void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) munmap(mapped, aligned - start);
  const std::uintptr_t end = start + size + kHugePage;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void FreeLarge(void* block, size_t bytes) {
  if (bytes < kLargeRequest) {
    std::free(block);
  } else {
    munmap(block, RoundToHugePages(bytes));
  }
}

void SetAccountEntries(std::optional<AccountEntries> entries) {
  FixedEntries() = std::move(entries);
  ForgetAccounts();
}

void SetAccountReaders(const AccountReaders* readers) { Readers() = readers; }

void ForgetAccounts() {
  LoadedUsers().reset();
  LoadedGroups().reset();
}

// ---- The user table ------------------------------------------------------------

UserTable::~UserTable() {
  for (const Block& block : blocks_) FreeLarge(block.text, block.size);
}

void UserTable::Add(std::string_view name, std::uint32_t uid, std::uint32_t gid,
                    std::string_view gecos, std::string_view dir, std::string_view shell) {
  const std::string_view fields[] = {name, gecos, dir, shell};
  size_t needed = 0;
  for (std::string_view field : fields) needed += field.size();
  // Blocks are never moved, so a record's pointer stays valid, and the arena
  // grows without copying what it holds.
  if (blocks_.empty() || blocks_.back().size - block_used_ < needed) {
    const size_t size = std::max(kArenaBlock, needed);
    blocks_.push_back({static_cast<char*>(AllocateLarge(size)), size});
    block_used_ = 0;
  }
  char* text = blocks_.back().text + block_used_;
  Record record{text, {}, uid, gid};
  for (size_t i = 0; i < 4; ++i) {
    if (!fields[i].empty()) std::memcpy(text, fields[i].data(), fields[i].size());
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

void UserTable::Prefetch(size_t i) const {
  // The record well ahead, and the text of one nearer (its record is cached
  // by then).
  constexpr size_t kRecordAhead = 16;
  constexpr size_t kTextAhead = 8;
  if (i + kRecordAhead < order_.size()) __builtin_prefetch(&records_[order_[i + kRecordAhead]]);
  if (i + kTextAhead < order_.size()) {
    const char* text = records_[order_[i + kTextAhead]].text;
    __builtin_prefetch(text);
    __builtin_prefetch(text + 64);
  }
}

bool UserTable::IsRepeatedName(size_t i) const {
  if (repeated_.size() != records_.size()) MarkRepeatedNames();
  return repeated_[order_[i]];
}

void UserTable::Sort(std::string_view order) {
  if (order == "SORT_BY_UID") {
    // Radix sort on the uid, a byte at a time from the lowest: linear in the
    // number of accounts, and stable, so equal uids keep database order. The
    // second index comes from the heap: in huge pages it would cost the run
    // 2 MiB of memory for the 400 kB of 100,000 accounts.
    std::vector<std::uint32_t> other(order_.size());
    for (unsigned shift = 0; shift < 32; shift += 8) {
      size_t counts[257] = {};
      for (std::uint32_t index : order_) ++counts[((records_[index].uid >> shift) & 0xFF) + 1];
      for (size_t byte = 1; byte < 257; ++byte) counts[byte] += counts[byte - 1];
      for (std::uint32_t index : order_) other[counts[(records_[index].uid >> shift) & 0xFF]++] = index;
      std::copy(other.begin(), other.end(), order_.begin());
    }
  } else if (order == "SORT_BY_NAME") {
    // std::string_view compares bytes as unsigned char, so EUC-JP names sort last.
    std::stable_sort(order_.begin(), order_.end(), [this](std::uint32_t a, std::uint32_t b) {
      return RowOf(a).name < RowOf(b).name;
    });
  }
}

void UserTable::MarkRepeatedNames() const {
  // Open addressing on the names' hashes: one pass, no index kept after.
  size_t slots = 1;
  while (slots < records_.size() * 2) slots <<= 1;
  constexpr std::uint32_t kEmpty = UINT32_MAX;
  LargeVector<std::uint32_t> table(slots, kEmpty);
  repeated_.assign(records_.size(), false);
  for (std::uint32_t record = 0; record < records_.size(); ++record) {
    const std::string_view name = RowOf(record).name;
    size_t slot = HashOf(name) & (slots - 1);
    while (table[slot] != kEmpty && RowOf(table[slot]).name != name) slot = (slot + 1) & (slots - 1);
    if (table[slot] == kEmpty) {
      table[slot] = record;
    } else {
      repeated_[table[slot]] = true;
      repeated_[record] = true;
    }
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
                     const std::set<std::uint32_t>& uids,
                     const std::set<std::string, std::less<>>& homes) {
  FoundUsers found;
  std::set<std::string, std::less<>> asked;
  for (const std::string& home : homes) {
    if (std::optional<std::string> path = NormalisedPath(home)) asked.insert(std::move(*path));
  }
  ForEachAccountOf({names, uids, asked}, [&](std::string_view name, std::uint32_t entry_uid,
                                             std::uint32_t gid, std::string_view gecos,
                                             std::string_view dir, std::string_view shell) {
    if (uids.count(entry_uid) != 0) found.taken_uids.insert(entry_uid);
    if (!asked.empty()) {
      std::optional<std::string> home = NormalisedPath(dir);
      if (home && MeetsAskedHome(*home, asked)) {
        found.home_holders.push_back({std::string(name), std::move(*home)});
      }
    }
    if (names.count(name) == 0) return;
    found.by_name[std::string(name)].push_back({std::string(name), entry_uid, gid,
                                                std::string(gecos), std::string(dir),
                                                std::string(shell)});
  });
  return found;
}

bool AccountExistsNow(const std::string& name) {
  if (FixedEntries()) return FindUsers({name}).Exists(name);
  const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 4096);
  passwd entry{};
  passwd* result = nullptr;
  int error = 0;
  while ((error = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result)) ==
         ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  // Some NSS modules answer "no such account" with one of these errors.
  const bool not_found =
      error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM;
  return result != nullptr || !not_found;
}

std::optional<GroupEntry> FindGroup(std::string_view name) {
  // The host's database answers one name without every group being built
  // (a host of many accounts has as many groups).
  if (!FixedEntries() && Readers() == nullptr) {
    const group* gr = getgrnam(std::string(name).c_str());
    if (gr == nullptr) return std::nullopt;
    GroupEntry entry{std::string(OrEmpty(gr->gr_name)), gr->gr_gid};
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
      entry.members.emplace_back(*member);
    }
    return entry;
  }
  std::optional<GroupEntry> found;
  ForEachGroup([&](GroupEntry entry) {
    if (!found && entry.name == name) found = std::move(entry);
  });
  return found;
}

void ForEachUidNow(const std::function<void(std::uint32_t uid)>& visit) {
  ForEachAccount([&](std::string_view, std::uint32_t uid, std::uint32_t, std::string_view,
                     std::string_view, std::string_view) { visit(uid); });
}

bool GroupIdExistsNow(std::uint32_t gid) {
  // The host's database answers one id without every group being built.
  if (!FixedEntries() && Readers() == nullptr) return getgrgid(gid) != nullptr;
  bool found = false;
  ForEachGroup([&](const GroupEntry& entry) { found = found || entry.gid == gid; });
  return found;
}

}  // namespace orvanta
