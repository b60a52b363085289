// What a deletion does with the homes: the choice below the deletion list,
// and the posted HOME it is read back from. Without HOME the home goes, as
// it always did; a value the store does not offer runs nothing.
#include <cstdio>
#include <optional>
#include <string>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

constexpr char kHomeField[] = "HOME";

struct HomeOption {
  HomeChoice choice;
  const char* value;
  const char* label;
};

constexpr HomeOption kHomeOptions[] = {
    {HomeChoice::Remove, "remove", kHomeRemoveLabel},
    {HomeChoice::Keep, "keep", kHomeKeepLabel},
    {HomeChoice::Archive, "archive", kHomeArchiveLabel},
};

// Remove is what a deletion without HOME does, offered or not.
bool IsAccepted(HomeChoice choice) {
  return choice == HomeChoice::Remove || Accounts().OffersHomeChoice(choice);
}

[[noreturn]] void RefuseHomeChoice(const std::string& value) {
  ThrowMessage(FormatText(kHomeChoiceRefusedFormat, Html(value).c_str()));
}

HomeChoice AcceptedChoice(const std::string& value) {
  for (const HomeOption& option : kHomeOptions) {
    if (value == option.value && IsAccepted(option.choice)) return option.choice;
  }
  RefuseHomeChoice(value);
}

}  // namespace

void PrintHomeChoices() {
  std::fputs(kHomeChoiceLabel, stdout);
  bool first = true;
  for (const HomeOption& option : kHomeOptions) {
    if (!Accounts().OffersHomeChoice(option.choice)) continue;
    std::printf("<INPUT TYPE=\"RADIO\" NAME=\"%s\" VALUE=\"%s\"%s>%s\n", kHomeField, option.value,
                first ? " CHECKED" : "", option.label);
    first = false;
  }
  std::fputs("<BR>\n", stdout);
}

HomeChoice RequestedHomeChoice(const std::string& request_text) {
  std::optional<std::string> first;
  ForEachField(request_text, kHomeField, [&](const std::string& value) {
    // Two different answers leave the choice open: none is taken.
    if (first && value != *first) RefuseHomeChoice(value);
    if (!first) first = value;
  });
  return first ? AcceptedChoice(*first) : HomeChoice::Remove;
}

}  // namespace orvanta
