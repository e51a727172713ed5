// The records' layouts, checked from C++.
#include "layout_checks.h"
