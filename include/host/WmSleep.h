// Sleeping, through the host clock (tests replace it so that waits take no time).
#pragma once

#include "host/HostExport.h"

VBHOST_API void WMSLEEP_InTeRnAl(unsigned long milliseconds, const char* file, int line);

#define WMSLEEP(ms) WMSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
