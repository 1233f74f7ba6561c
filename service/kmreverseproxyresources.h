#ifndef KMREVERSEPROXYRESOURCES_H
#define KMREVERSEPROXYRESOURCES_H

// Registers the resource collection "kmreverseproxy" (":/kmreverseproxy/creator.sql"
// and ":/kmreverseproxy/engine.sql"). It is compiled into a static library, so
// nothing registers it by itself: call this before the first use. Repeated
// calls are harmless.
void initReverseproxyResources();

#endif // KMREVERSEPROXYRESOURCES_H
