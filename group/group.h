// Group administration: the group list and its deletion form and action,
// the group registration form and action, and the members of a group.
#pragma once

#include <string>

#include "access/access.h"

namespace orvanta {

class AccountGuard;

enum class GroupListMode { List = 0, SelectForDelete = 2 };

// GET GVIEW, GDEL (group_list.cpp)
void PrintGroupList(GroupListMode mode);
// GET GVIEWCSV: every group the list shows, with its members, as a CSV file
// (and its line in the system log).
void ExportGroupList();
// Whether the group list shows every group: the plain list when the
// operator's scope has "view"; every other list only the groups it names.
bool ListShowsEveryGroup(GroupListMode mode);
// POST GP_WILLBEDEL (delete_groups.cpp): one GNAME field per ticked row.
void DeleteGroups(const std::string& request_text);
// GET GADD (group_add_form.cpp)
void PrintGroupAddForm();
// POST GP_WILLBEADD (register_group.cpp)
void RegisterGroup();
// Duplicate checks of the registration; throw ErrorCode 0 with gErrorMessage.
void CheckGroupNameFree();
void CheckGroupIdFree();
// The name-taken message for the group NAME.
[[noreturn]] void RefuseTakenGroupName(const std::string& name);
// Whether the deletion form offers the group and the action may remove it:
// above SYSTEMGID and not reserved, a name the program can trust
// (IsTrustedStoredName), yielded once by the database, and not protected
// (its name in PROTECTED_GROUPS, or the gid of such a group).
bool IsChangeableGroup(const GroupEntry& group, const AccountGuard& guard);
// "グループ名(…)は…" for a stored group name the program cannot trust,
// which the lists show and no action takes; "" for any other.
std::string UntrustedGroupProblem(std::string_view name);

// GET GMEM (group_members.cpp): without GNAME a selector of the groups whose
// members may be changed; with it the group's members and the accounts that
// are not, with check boxes for those the action would take.
void PrintGroupMembers();
// POST GP_TOBEMEM (change_members.cpp): one row per posted ADDNAME and
// DELNAME, in request order, each put into or taken out of GNAME.
void ChangeMembers(const std::string& request_text);
// Whether people may be put into and taken out of the group: changeable as
// above, none of the PROTECTED_GROUPS, and a name that usermod -G reads as
// one group name (not digits only, which it reads as a gid, and no ',').
bool IsMembershipChangeable(const GroupEntry& group, const AccountGuard& guard);

}  // namespace orvanta
