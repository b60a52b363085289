// GET MENU: the pages of the program in sections, each entry shown only
// when the operator's scope opens its page.
#include <cstdio>
#include <vector>

#include "app/app.h"
#include "app/menu_texts.h"
#include "page/page.h"

namespace orvanta {

namespace {

struct MenuEntry {
  const char* command;
  const char* label;
};

struct MenuSection {
  const char* heading;
  std::vector<MenuEntry> entries;
};

const MenuSection kMenuSections[] = {
    {kMenuUsers,
     {{"VIEW", kMenuView},
      {"ADD", kMenuAdd},
      {"BATCH", kMenuBatch},
      {"MOD", kMenuMod},
      {"DEL", kMenuDel},
      {"LOCK", kMenuLock},
      {"AGE", kMenuAge}}},
    {kMenuGroups,
     {{"GVIEW", kMenuGroupView},
      {"GADD", kMenuGroupAdd},
      {"GDEL", kMenuGroupDel},
      {"GMEM", kMenuGroupMembers}}},
    {kMenuRecords, {{"LOG", kMenuLog}, {"SESSIONS", kMenuSessions}, {"TOTP", kMenuTotp}}},
};

}  // namespace

void PrintMenu() {
  PrintPageHeader();
  std::fputs(kMenuOpening, stdout);
  for (const MenuSection& section : kMenuSections) {
    std::printf("\n<TR BGCOLOR=\"#D0D0FF\"><TH NOWRAP>%s</TH></TR>\n", section.heading);
    for (const MenuEntry& entry : section.entries) {
      if (!MayOpenPage(entry.command)) continue;
      std::printf("<TR><TD NOWRAP><A HREF=\"./%s?COMMAND=%s\">%s</A></TD></TR>\n", kCgiName,
                  entry.command, entry.label);
    }
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
