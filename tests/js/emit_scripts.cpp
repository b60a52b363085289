// Writes the script block of one form page, as EUC-JP bytes, for the
// JavaScript tests: "add" (user registration), "mod" (user modification),
// "age" (password ageing) or "gadd" (group registration), in the order the pages write them; "add-long"
// and "mod-long" are the user forms when passwords are hashed with SHA512 or
// YESCRYPT.
#include <cstdio>
#include <cstring>

#include "page/page.h"

int main(int argc, char** argv) {
  using namespace orvanta;
  if (argc != 2) {
    std::fputs("usage: emit_scripts add|mod|age|gadd|add-long|mod-long\n", stderr);
    return 2;
  }
  const char* page = argv[1];
  if (std::strcmp(page, "add") == 0) {
    PrintUserAddScripts();
  } else if (std::strcmp(page, "mod") == 0) {
    PrintUserModScripts();
  } else if (std::strcmp(page, "age") == 0) {
    PrintUserAgeScripts();
  } else if (std::strcmp(page, "add-long") == 0) {
    PrintUserAddScripts(kLongPasswordMax);
  } else if (std::strcmp(page, "mod-long") == 0) {
    PrintUserModScripts(kLongPasswordMax);
  } else if (std::strcmp(page, "gadd") == 0) {
    PrintGroupAddScripts();
  } else {
    std::fprintf(stderr, "emit_scripts: unknown page %s\n", page);
    return 2;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
