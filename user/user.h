// User administration: the user list and its selection forms, the
// registration and modification forms, and the registration, modification
// and deletion actions with their checks and password hashing.
#pragma once

#include <cstdint>
#include <string>

namespace orvanta {

enum class UserListMode { List = 0, SelectForModify = 1, SelectForDelete = 2 };

// GET DEFAULT/VIEW, MOD, DEL (user_list.cpp)
void PrintUserList(UserListMode mode);
// GET ADD (user_add_form.cpp)
void PrintUserAddForm();
// POST WILLBEMOD (user_mod_form.cpp)
void PrintUserModForm();

// Registration checks (user_checks.cpp); each throws ErrorCode 0 with
// gErrorMessage set when the request may not go on.
void CheckNameNotRegistered();
void CheckUidNotRegistered();
void EnsureDirEndsWithSlash();
// Whether the account exists and lies above SYSTEMUID, so that the
// selection forms offer it and the actions may change it.
bool IsChangeableUser(const std::string& name);

// POST WILLBEADD (register_user.cpp)
void RegisterUser();
// POST TOBEMOD (modify_user.cpp)
void ModifyUser();
// POST WILLBEDEL (delete_users.cpp): one NAME field per ticked row.
void DeleteUsers(const std::string& request_text);

// Password hashing (password.cpp)
inline constexpr char kSaltAlphabet[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./";
// The two-character salt of the current second.
const char* MakeSalt();
// The salt of a given moment; what MakeSalt uses.
std::string SaltForTime(std::uint32_t seconds);
// crypt(3) of the password with a fresh salt; "" when the library refuses
// (a NULL result, or one starting with '*').
std::string HashPassword(const std::string& password);

}  // namespace orvanta
