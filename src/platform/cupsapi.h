#pragma once
// libcups' entry points, resolved when CUPS is first asked something. The server itself
// never maps libcups (and GnuTLS behind it) unless it prints to CUPS: the list of CUPS
// printers is asked for in a helper process (cupsconnection.h).

#include <QString>

#include <cups/cups.h>

#define SPOOLMERE_CUPS_FUNCTIONS(X)                                                                \
    X(cupsCancelDestJob)                                                                           \
    X(cupsCancelJob2)                                                                              \
    X(cupsConnectDest)                                                                             \
    X(cupsCopyDestInfo)                                                                            \
    X(cupsCreateDestJob)                                                                           \
    X(cupsCreateJob)                                                                               \
    X(cupsDoRequest)                                                                               \
    X(cupsEncryption)                                                                              \
    X(cupsFinishDestDocument)                                                                      \
    X(cupsFinishDocument)                                                                          \
    X(cupsFreeDestInfo)                                                                            \
    X(cupsFreeDests)                                                                               \
    X(cupsGetDestWithURI)                                                                          \
    X(cupsGetDests2)                                                                               \
    X(cupsLastError)                                                                               \
    X(cupsLastErrorString)                                                                         \
    X(cupsServer)                                                                                  \
    X(cupsSetPasswordCB2)                                                                          \
    X(cupsSetServer)                                                                               \
    X(cupsSetUser)                                                                                 \
    X(cupsStartDestDocument)                                                                       \
    X(cupsStartDocument)                                                                           \
    X(cupsWriteRequestData)                                                                        \
    X(httpAssembleURIf)                                                                            \
    X(httpClose)                                                                                   \
    X(httpConnect2)                                                                                \
    X(httpError)                                                                                   \
    X(httpGetActivity)                                                                             \
    X(httpSetTimeout)                                                                              \
    X(ippAddInteger)                                                                               \
    X(ippAddString)                                                                                \
    X(ippAddStrings)                                                                               \
    X(ippDelete)                                                                                   \
    X(ippFindAttribute)                                                                            \
    X(ippGetCount)                                                                                 \
    X(ippGetInteger)                                                                               \
    X(ippGetString)                                                                                \
    X(ippNewRequest)                                                                               \
    X(ippPort)

struct CupsApi
{
#define SPOOLMERE_CUPS_POINTER(name) decltype(&::name) name = nullptr;
    SPOOLMERE_CUPS_FUNCTIONS(SPOOLMERE_CUPS_POINTER)
#undef SPOOLMERE_CUPS_POINTER

    // Empty when every entry point is there.
    QString error;
    bool ok() const
    {
        return error.isEmpty();
    }
};

// Opened once, on the first call; thread-safe.
const CupsApi& cupsApi();
