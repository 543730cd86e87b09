// The SMB route: a raw print job on a printer share through libsmbclient's context API.
// smbc_open_print_job's descriptor is refused by smbc_write, so the job is opened with the
// context's own print-job function and written and closed through the same context.
//
// Each job gets its own context: jobs come one at a time from the despooler thread, and a
// context never outlives the connection it made, so a server that restarted between two
// jobs is simply reconnected.

#include "platform/datablocks.h"
#include "platform/lazylibrary.h"
#include "platform/printroutes.h"
#include "platform/sigpipeguard.h"

#include <QUrl>

#include <libsmbclient.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace {

// Guest with an empty password; should the server refuse it, libsmbclient falls back to an
// anonymous login (NoAutoAnonymousLogin is off).
void guestLogin(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLen,
                char* password, int passwordLen)
{
    std::snprintf(user, size_t(userLen), "%s", "guest");
    if (passwordLen > 0)
        password[0] = '\0';
}

// A share or file name from a \\host\printer path, escaped for the URL: libsmbclient
// decodes %XX, and a raw "?" or "%" would be read as URL syntax.
QString urlPart(const QString& part)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(part));
}

// The entry points the route uses, resolved when the first SMB job prints.
struct SmbLibrary
{
    decltype(&smbc_new_context) newContext = nullptr;
    decltype(&smbc_init_context) initContext = nullptr;
    decltype(&smbc_free_context) freeContext = nullptr;
    decltype(&smbc_setFunctionAuthDataWithContext) setAuth = nullptr;
    decltype(&smbc_setOptionNoAutoAnonymousLogin) setNoAutoAnonymous = nullptr;
    decltype(&smbc_setTimeout) setTimeout = nullptr;
    decltype(&smbc_getFunctionOpenPrintJob) openPrintJob = nullptr;
    decltype(&smbc_getFunctionWrite) write = nullptr;
    decltype(&smbc_getFunctionFtruncate) ftruncate = nullptr;
    decltype(&smbc_getFunctionClose) close = nullptr;
    QString error;

    // Thread-safe: a function-local static is made once.
    static const SmbLibrary& get()
    {
        static const SmbLibrary lib;
        return lib;
    }

private:
    SmbLibrary()
    {
        static LazyLibrary so("libsmbclient.so.0");
        const bool ok = so.resolve(newContext, "smbc_new_context") &&
                        so.resolve(initContext, "smbc_init_context") &&
                        so.resolve(freeContext, "smbc_free_context") &&
                        so.resolve(setAuth, "smbc_setFunctionAuthDataWithContext") &&
                        so.resolve(setNoAutoAnonymous, "smbc_setOptionNoAutoAnonymousLogin") &&
                        so.resolve(setTimeout, "smbc_setTimeout") &&
                        so.resolve(openPrintJob, "smbc_getFunctionOpenPrintJob") &&
                        so.resolve(write, "smbc_getFunctionWrite") &&
                        so.resolve(ftruncate, "smbc_getFunctionFtruncate") &&
                        so.resolve(close, "smbc_getFunctionClose");
        if (!ok) {
            newContext = nullptr;
            error = so.error();
        }
    }
};

class SmbContext final
{
public:
    static constexpr int DefaultTimeoutMs = 20000;

    SmbContext(const SmbLibrary& lib, int timeoutMs) : m_lib(lib)
    {
        m_ctx = lib.newContext();
        if (!m_ctx)
            return;
        // Each request to the server waits at most this long (the client's own default is
        // 20 s); the whole print's limit is checked between writes.
        lib.setTimeout(m_ctx, timeoutMs > 0 ? std::min(timeoutMs, DefaultTimeoutMs)
                                            : DefaultTimeoutMs);
        lib.setAuth(m_ctx, guestLogin);
        lib.setNoAutoAnonymous(m_ctx, false);
        if (!lib.initContext(m_ctx)) {
            m_initErrno = errno;
            lib.freeContext(m_ctx, 1);
            m_ctx = nullptr;
        }
    }
    ~SmbContext()
    {
        if (m_ctx)
            m_lib.freeContext(m_ctx, 1);
    }
    SmbContext(const SmbContext&) = delete;
    SmbContext& operator=(const SmbContext&) = delete;

    SMBCCTX* get() const { return m_ctx; }
    int initErrno() const { return m_initErrno; }

private:
    const SmbLibrary& m_lib;
    SMBCCTX* m_ctx = nullptr;
    int m_initErrno = ENOMEM;
};

} // namespace

QString smbUrlFromTarget(const QString& target)
{
    const QString t = target.trimmed();
    if (t.startsWith(QLatin1String("smb://"), Qt::CaseInsensitive))
        return t.length() > 6 ? t : QString();
    if (!(t.startsWith(QLatin1String("\\\\")) || t.startsWith(QLatin1String("//"))))
        return QString();
    QString slashed = t.mid(2);
    slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = slashed.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() < 2)
        return QString();
    QString url = QStringLiteral("smb://") + parts.first();
    for (qsizetype i = 1; i < parts.size(); ++i)
        url += QLatin1Char('/') + urlPart(parts.at(i));
    return url;
}

RouteResult printToSmb(const QString& target, int dataFile, int timeoutMs)
{
    const auto started = std::chrono::steady_clock::now();
    const auto pastLimit = [&] {
        return timeoutMs > 0 &&
               std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(timeoutMs);
    };
    RouteResult result;
    const QString url = smbUrlFromTarget(target);
    if (url.isEmpty()) {
        result.reason = QStringLiteral("not an SMB printer path: ") + target;
        return result;
    }
    DataBlocks data(dataFile);
    if (!data.isOpen()) {
        result.reason = data.error();
        return result;
    }

    const SmbLibrary& lib = SmbLibrary::get();
    if (!lib.newContext) {
        result.reason = lib.error;
        return result;
    }
    SmbContext ctx(lib, timeoutMs);
    if (!ctx.get()) {
        result.reason = errnoReason(QStringLiteral("cannot start the SMB client"), ctx.initErrno());
        return result;
    }
    SigpipeGuard noSigpipe;
    const QByteArray urlBytes = url.toUtf8();
    SMBCFILE* job = lib.openPrintJob(ctx.get())(ctx.get(), urlBytes.constData());
    if (!job) {
        result.reason = errnoReason(QStringLiteral("cannot open a print job on ") + url, errno);
        return result;
    }

    char buf[DataBlocks::BlockSize];
    const smbc_write_fn write = lib.write(ctx.get());
    bool ok = true;
    for (;;) {
        const ssize_t n = data.next(buf);
        if (n < 0) {
            // Closing queues what was written; emptied first, the job is dropped by the
            // server instead of printing its first part.
            result.reason = data.error();
            lib.ftruncate(ctx.get())(ctx.get(), job, 0);
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (pastLimit()) {
            result.reason = QStringLiteral("the SMB server took no more data within the time limit");
            lib.ftruncate(ctx.get())(ctx.get(), job, 0);
            ok = false;
            break;
        }
        errno = 0;
        const ssize_t written = write(ctx.get(), job, buf, size_t(n));
        if (written != n) {
            result.reason = written < 0 ? errnoReason(QStringLiteral("SMB write failed"), errno)
                                        : QStringLiteral("SMB write cut short");
            ok = false;
            break;
        }
    }
    // The server queues the job when the file is closed; a failed close has not printed.
    if (lib.close(ctx.get())(ctx.get(), job) != 0 && ok) {
        result.reason = errnoReason(QStringLiteral("SMB close failed"), errno);
        ok = false;
    }
    result.ok = ok;
    return result;
}
