// Group administration: the group list and its deletion form and action,
// the group registration form and action.
#pragma once

#include <string>

#include "cgi/cgi.h"

namespace orvanta {

enum class GroupListMode { List = 0, SelectForDelete = 2 };

// GET GVIEW, GDEL (group_list.cpp)
void PrintGroupList(GroupListMode mode);
// POST GP_WILLBEDEL (delete_groups.cpp): one GNAME field per ticked row.
void DeleteGroups(const std::string& request_text);
// GET GADD (group_add_form.cpp)
void PrintGroupAddForm();
// POST GP_WILLBEADD (register_group.cpp)
void RegisterGroup();
// Duplicate checks of the registration; throw ErrorCode 0 with gErrorMessage.
void CheckGroupNameFree();
void CheckGroupIdFree();
// Whether the deletion form offers the group and the action may remove it:
// above SYSTEMGID and not reserved, and yielded once by the database.
bool IsChangeableGroup(const GroupEntry& group);

}  // namespace orvanta
