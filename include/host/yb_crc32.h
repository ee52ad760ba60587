// Checksum continuation in the form LVM2 uses for its on-disk labels.
#pragma once

#include "host/HostExport.h"

// Continues the CRC-32 held in `*crc` over `length` bytes at `data`, without the initial and
// final inversion (so a caller seeding 0xf597a6cf gets the value LVM2 stores in a PV label).
VBHOST_API void yb_crc32(const void* data, unsigned long length, unsigned int* crc);
