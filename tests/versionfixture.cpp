// A small executable that carries a version record of the test's choosing, or none.
#ifdef FIXTURE_MAJOR
#include "report/versionrecord.h"

NEWSBENCH_VERSION_RECORD(FIXTURE_MAJOR, FIXTURE_MINOR, FIXTURE_RELEASE, FIXTURE_BUILD,
                         FIXTURE_FLAGS);
#endif

int main()
{
    return 0;
}
