#ifndef ZX2UTILS_H
#define ZX2UTILS_H

// The framework's free helper functions. Each helper group lives in
// zx2utils_<group>.h and is included here, so a caller includes this one header.

// -- helper groups (one include per group) --
#include "zx2utils_capacity.h"
#include "zx2utils_convert.h"
#include "zx2utils_date.h"
#include "zx2utils_digest.h"
#include "zx2utils_format.h"
#include "zx2utils_identifier.h"
#include "zx2utils_process.h"
#include "zx2utils_schedule.h"
#include "zx2utils_string.h"
#include "zx2utils_trace.h"
#include "zx2utils_url.h"
#include "zx2utils_version.h"
// -- end of helper groups --

#endif // ZX2UTILS_H
