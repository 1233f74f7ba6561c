#include "kmreverseproxyresources.h"

#include <QtGlobal>

void initReverseproxyResources()
{
    // Qt registers the same resource data only once.
    Q_INIT_RESOURCE(kmreverseproxy);
}
