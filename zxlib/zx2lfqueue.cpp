#include "zx2lfqueue.h"

template class ZX2LFQueue<QByteArray>;
