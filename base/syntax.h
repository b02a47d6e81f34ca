// The two archiver command lines, shared by trevask, which writes them, and
// the stand-in archivers, which read them.
#ifndef TREVASK_BASE_SYNTAX_H_
#define TREVASK_BASE_SYNTAX_H_

namespace base {

struct Syntax {
  const char* command;  // the program's name on the command line
  const char* add;      // option for one folder's own files
  const char* recurse;  // second option: everything beneath the folder
  const char* bundle;   // both, as one option string
};

constexpr Syntax kSyntaxes[] = {
    {"PKZIP.EXE", "-a", "-rp", "-a -rp"},     // kind 1, as trevask's options choose
    {"PKZIPC.EXE", "-add", "-recurse", "-add -recurse"},  // kind 2
};

constexpr const Syntax& SyntaxOf(int kind) { return kSyntaxes[kind == 2 ? 1 : 0]; }

}  // namespace base

#endif  // TREVASK_BASE_SYNTAX_H_
