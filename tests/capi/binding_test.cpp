#include "tests/capi/support.h"
