// Which build of the KESTA library this program tests: the one file that the
// free and the checked test programs do not share.
bool kestaTestsCheckedBuild() {
#if defined(KESTA_TEST_CHECKED)
    return true;
#else
    return false;
#endif
}
