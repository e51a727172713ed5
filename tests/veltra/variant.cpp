// Which build of the VELTRA library this program tests: the one file that
// the free and the checked test programs do not share.
#include "veltra_fixture.h"

bool veltraTestsCheckedBuild() {
#if defined(VELTRA_TEST_CHECKED)
    return true;
#else
    return false;
#endif
}
