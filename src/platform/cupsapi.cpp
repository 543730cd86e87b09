#include "platform/cupsapi.h"

#include "platform/lazylibrary.h"

const CupsApi& cupsApi()
{
    static const CupsApi api = [] {
        static LazyLibrary so("libcups.so.2");
        CupsApi a;
        bool ok = so.isOpen();
#define SPOOLMERE_CUPS_RESOLVE(name) ok = ok && so.resolve(a.name, #name);
        SPOOLMERE_CUPS_FUNCTIONS(SPOOLMERE_CUPS_RESOLVE)
#undef SPOOLMERE_CUPS_RESOLVE
        if (!ok)
            a.error = so.error();
        return a;
    }();
    return api;
}
