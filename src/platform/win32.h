// The one place where the library learns which platform it runs on: Windows supplies the kernel,
// GDI and user calls itself; everywhere else src/platform/ implements the same subset under the
// same names (declared in pxvwin32.h).
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "pxvwin32.h"
#endif
