// Build tool: makes the initial rule data file that the installer carries, by opening an empty
// rule store in the given folder. Only "QLFW.dat" is carried; the journal starts empty with the
// first change on the user's machine.
#include <cstdio>

#include "store/db_manager.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  qxfw::store::CDBManager store(argv[1]);
  if (!store.IsRuleFileOpen()) {
    std::fprintf(stderr, "cannot create the rule data file in %s\n", argv[1]);
    return 1;
  }
  return 0;
}
