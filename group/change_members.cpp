// POST GP_TOBEMEM: puts every posted ADDNAME into GNAME and takes every
// posted DELNAME out of it in the store of this run, one result row per
// field, in request order.
#include <cstdio>
#include <map>
#include <set>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/members_texts.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

namespace {

struct Direction {
  const char* field;  // the request's field
  bool add;
  const char* label;
  const char* done;
  const char* code;  // of the log record
};

constexpr Direction kDirections[] = {
    {"ADDNAME", true, kMemberAddLabel, kMemberAdded, "MADD"},
    {"DELNAME", false, kMemberRemoveLabel, kMemberRemoved, "MDEL"},
};

const Direction* DirectionOf(const std::string& field) {
  for (const Direction& direction : kDirections) {
    if (field == direction.field) return &direction;
  }
  return nullptr;
}

// What one request asks for: the group (nullptr when it may not be
// changed), the accounts it names, and the names posted in both directions.
struct MemberRequest {
  const GroupEntry* group = nullptr;
  AccountGuard guard;
  FoundUsers found;
  std::set<std::string, std::less<>> both_ways;
  std::map<std::string, bool> rows;  // names with a row: whether refused
};

const GroupEntry* ChangeableGroupNamed(const std::string& name, const AccountGuard& guard) {
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(name);
  if (found == by_name.end() || !IsMembershipChangeable(found->second, guard)) return nullptr;
  return &found->second;
}

void PrintRow(const std::string& name, const Direction& direction, const char* outcome) {
  std::printf(kMemberRowFormat, Html(name).c_str(), direction.label, outcome);
}

void ChangeInStore(const std::string& name, const Direction& direction,
                   const GroupEntry& group) {
  const StoreResult result = Accounts().ChangeMember(group, name, direction.add);
  if (result == StoreResult::Done) {
    PrintRow(name, direction, direction.done);
    WriteOperationLog(direction.code, name + ":" + group.name);
  } else {
    PrintRow(name, direction,
             result == StoreResult::Refused ? kMemberChangeRefused : kMemberChangeFailed);
  }
}

// Why a stored group or account the program cannot trust stays as it is;
// "" when both can be trusted.
std::string UntrustedProblem(const std::string& name, const MemberRequest& request) {
  const bool group_found = AllGroups().by_name.count(Param("GNAME")) != 0;
  std::string problem = group_found ? UntrustedGroupProblem(Param("GNAME")) : "";
  if (problem.empty()) problem = UntrustedAccountProblem(request.found, name);
  return problem;
}

void ChangeOne(const std::string& name, const Direction& direction, MemberRequest& request) {
  if (const std::string problem = UntrustedProblem(name, request); !problem.empty()) {
    request.rows.emplace(name, true);
    PrintRow(name, direction, problem.c_str());
    return;
  }
  // A name posted again was dealt with by its first row: no more lookups.
  if (const auto row = request.rows.find(name); row != request.rows.end()) {
    PrintRow(name, direction, row->second ? kMemberChangeRefused : kMemberChangeFailed);
    return;
  }
  const bool refused = request.group == nullptr || request.both_ways.count(name) != 0 ||
                       ChangeableUser(request.found, name, request.guard) == nullptr;
  request.rows.emplace(name, refused);
  if (refused) {
    PrintRow(name, direction, kMemberChangeRefused);
  } else {
    ChangeInStore(name, direction, *request.group);
  }
}

}  // namespace

bool IsMembershipChangeable(const GroupEntry& group, const AccountGuard& guard) {
  const std::string& name = group.name;
  return !IsDigitsOnly(name) && name.find(',') == std::string::npos && IsChangeableGroup(group, guard);
}

void ChangeMembers(const std::string& request_text) {
  MemberRequest request;
  request.group = ChangeableGroupNamed(Param("GNAME"), request.guard);
  // One pass over the database for all the names, however many.
  std::set<std::string, std::less<>> names;
  std::map<std::string, const Direction*> first_direction;
  ForEachPair(request_text, [&](const std::string& field, const std::string& value) {
    const Direction* direction = DirectionOf(field);
    if (direction == nullptr) return;
    names.insert(value);
    const auto [entry, first] = first_direction.emplace(value, direction);
    if (!first && entry->second != direction) request.both_ways.insert(value);
  });
  request.found = FindUsers(names);
  if (!CurrentScope().OwnsGroupName(Param("GNAME"))) RefuseByScope(Param("GNAME"));
  RefuseUnownedAccounts(request.found, names);

  PrintPageHeader();
  std::printf(kMembersChangedCaption, Html(Param("GNAME")).c_str());
  std::fputs(kMembersChangedHeading, stdout);
  ForEachPair(request_text, [&](const std::string& field, const std::string& value) {
    if (const Direction* direction = DirectionOf(field)) ChangeOne(value, *direction, request);
  });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
