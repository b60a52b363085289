// Group changes in the directory.
#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

constexpr char kPrimaryGroupKept[] = "ldap: the primary group of an account is not deleted: ";
constexpr char kGidTaken[] = "ldap: a group below LDAP_ID_SEARCH_BASE has the gidNumber ";

// A group of the name, or of the typed gid, anywhere the hosts look: the
// program's own check saw the group base only.
DirectoryResult TakenGroup(const std::string& base, const std::string& name,
                           std::optional<std::uint32_t> typed_gid) {
  const std::optional<bool> name_taken = AnyMatch(base, EqualityFilter("posixGroup", "cn", name));
  if (!name_taken) return DirectoryResult::Failed;
  if (*name_taken) return DirectoryResult::NameTaken;
  if (!typed_gid) return DirectoryResult::Done;
  const std::string gid = std::to_string(*typed_gid);
  const std::optional<bool> gid_taken =
      AnyMatch(base, EqualityFilter("posixGroup", "gidNumber", gid));
  if (!gid_taken) return DirectoryResult::Failed;
  if (!*gid_taken) return DirectoryResult::Done;
  ErrorLogLine(kGidTaken + gid);
  return DirectoryResult::Failed;
}

}  // namespace

DirectoryResult AddGroup(const std::string& name, const std::string& gid_text) {
  if (!HoldLock()) return DirectoryResult::Failed;
  const std::string* base = IdSearchBase();
  if (base == nullptr) return DirectoryResult::Failed;
  const std::optional<std::uint32_t> typed_gid = ParseId(gid_text);
  if (!gid_text.empty() && !typed_gid) return DirectoryResult::Failed;
  if (const DirectoryResult taken = TakenGroup(*base, name, typed_gid);
      taken != DirectoryResult::Done) {
    return taken;
  }
  const std::optional<std::uint32_t> gid = typed_gid ? typed_gid : NextId("gidNumber");
  if (!gid) return DirectoryResult::Failed;
  Mods mods;
  mods.Add(LDAP_MOD_ADD, "objectClass", {"posixGroup"})
      .Add(LDAP_MOD_ADD, "cn", {name})
      .Add(LDAP_MOD_ADD, "gidNumber", {std::to_string(*gid)});
  const std::string dn = ChildDn("cn", name, GroupBase());
  return ResultOf("add " + Printable(dn), Add(dn, mods));
}

DirectoryResult DeleteGroup(const std::string& name) {
  if (!HoldLock()) return DirectoryResult::Failed;
  Entry group;
  if (const DirectoryResult found = FindGroup(name, {"gidNumber"}, group);
      found != DirectoryResult::Done) {
    return found;
  }
  // As groupdel: an account's primary group stays.
  const std::optional<bool> primary =
      AnyMatch(PeopleBase(),
               EqualityFilter("posixAccount", "gidNumber", std::string(group.First("gidNumber"))));
  if (!primary) return DirectoryResult::Failed;
  if (*primary) {
    ErrorLogLine(kPrimaryGroupKept + Printable(name));
    return DirectoryResult::Failed;
  }
  return ResultOf("delete " + Printable(group.dn), Delete(group.dn));
}

}  // namespace orvanta::directory
