#include "app/driver.h"
#include "base/diagnostic.h"
#include "base/path.h"

int main(int argc, char** argv) {
  base::SetProgramName("trevask");
  // Its paths are the narrow argv and cmd.exe's, in the ANSI code page.
  base::UseAnsiCodePageForPaths();
  return trevask::RunTrevask(argc, argv);
}
