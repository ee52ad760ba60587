// Symbol visibility of the host-service library (libvolbridge_host).
#pragma once

#if defined(VOLBRIDGE_HOST_BUILDING)
#define VBHOST_API __attribute__((visibility("default")))
#else
#define VBHOST_API
#endif
