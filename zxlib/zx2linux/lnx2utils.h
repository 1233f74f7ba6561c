#ifndef LNX2UTILS_H
#define LNX2UTILS_H

// Linux-specific free helper functions of the framework. Version comparison,
// INI reading and string splitting are declared here; the other helper groups
// live in lnx2utils_<group>.h and are included below.

#include "zx2utils.h"

// -- helper groups (one include per group) --
// -- end of helper groups --

// -- conversions --
// -- end of conversions --

#endif // LNX2UTILS_H
