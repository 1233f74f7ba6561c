#ifndef ZX2UTILS_H
#define ZX2UTILS_H

// The framework's free helper functions. The conversions are declared here;
// the other helper groups live in zx2utils_<group>.h and are included below,
// so a caller includes this one header.

// -- helper groups (one include per group) --
// -- end of helper groups --

// -- value conversions --
// -- end of value conversions --

#endif // ZX2UTILS_H
