// The out-of-line member of the interface, so that its virtual table and type information live
// in the library.
#include "LVM/LVM.h"

LVM::~LVM() = default;
