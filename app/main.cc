#include "app/driver.h"
#include "base/diagnostic.h"

int main(int argc, char** argv) {
  base::SetProgramName("trevask");
  return trevask::RunTrevask(argc, argv);
}
