#include "app/app.h"

// ORVANTA_CONFIG_PATH: the installed program's cfg_file.cfg (cmake/install.cmake).
int main(int argc, char** argv) {
  return orvanta::RunOperatorTool(argc, argv, ORVANTA_CONFIG_PATH);
}
