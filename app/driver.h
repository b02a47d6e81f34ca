// One whole run of Trevask, from the argument vector to the exit status.
#ifndef TREVASK_APP_DRIVER_H_
#define TREVASK_APP_DRIVER_H_

namespace trevask {

int RunTrevask(int argc, char** argv);

}  // namespace trevask

#endif  // TREVASK_APP_DRIVER_H_
