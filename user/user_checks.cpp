// Server-side checks of the user actions: duplicates before a registration,
// and which accounts the modification may touch.
#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

void CheckNameNotRegistered() {
  const std::string& name = Param("NAME");
  if (gUserByName.find(name) == gUserByName.end()) return;
  gErrorMessage = FormatText(kNameTakenFormat, Html(name).c_str());
  throw ErrorCode{kErrorMessageInGlobal};
}

void CheckUidNotRegistered() {
  const std::string& text = Param("UID");
  if (text.empty()) return;
  const int uid = AtoiLike(text);
  if (gUserByUid.find(static_cast<std::uint32_t>(uid)) == gUserByUid.end()) return;
  gErrorMessage = FormatText(kUidTakenFormat, uid);
  throw ErrorCode{kErrorMessageInGlobal};
}

void EnsureDirEndsWithSlash() {
  const std::string dir = Param("DIR");
  if (dir.empty() || dir.back() == '/') return;
  SetParam("DIR", dir + "/");
}

bool IsChangeableUser(const std::string& name) {
  const auto found = gUserByName.find(name);
  return found != gUserByName.end() && found->second.uid > IdThreshold("SYSTEMUID");
}

}  // namespace orvanta
