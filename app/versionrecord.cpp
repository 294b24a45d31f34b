#include "report/versionrecord.h"

// The program's version as project() in the top-level CMakeLists.txt declares it; the
// report heading reads it back from the executable.
NEWSBENCH_VERSION_RECORD(NEWSBENCH_VERSION_MAJOR, NEWSBENCH_VERSION_MINOR,
                         NEWSBENCH_VERSION_RELEASE, NEWSBENCH_VERSION_BUILD,
                         NEWSBENCH_VERSION_FLAGS);
