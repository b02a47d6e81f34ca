#include "app/driver.h"

int main(int argc, char** argv) { return trevask::RunTrevask(argc, argv); }
