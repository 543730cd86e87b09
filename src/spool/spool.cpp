#include "spool/spool.h"

#include "config/logsink.h"
#include "spool/spoolmove.h"

#include <QDir>

#include <algorithm>

namespace {

bool samePath(const QString& a, const QString& b)
{
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

} // namespace

QString Spool::folderPath(const QString& queueFolder) const
{
    return m_path + QLatin1Char('/') + queueFolder;
}

QString Spool::receivingFolderPath(const QString& queueFolder) const
{
    return receivingPath() + QLatin1Char('/') + queueFolder;
}

bool Spool::isHeadedFor(const QString& path) const
{
    return samePath(path, receivingPath());
}

bool Spool::record(QString* reason) const
{
    if (m_stateFile.isEmpty())
        return true;
    return writeSpoolState(m_stateFile, {m_path, m_receiving, m_leaving}, reason);
}

bool Spool::open(const QString& wanted, LogSink& log)
{
    ++m_generation;
    m_receiving.clear();
    m_leaving.clear();
    m_path = wanted;
    const std::optional<SpoolState> state =
        m_stateFile.isEmpty() ? std::nullopt : readSpoolState(m_stateFile);
    QString problem;
    if (!state) {
        if (!record(&problem))
            log.append(QStringLiteral("WARNING: Spool folder not recorded: ") + problem);
        return true;
    }
    const auto elsewhere = [&](const QString& path) {
        return !path.isEmpty() && !samePath(path, wanted) && !isSameFolder(path, wanted) &&
               QDir(path).exists();
    };
    for (const QString& left : state->leaving) {
        if (elsewhere(left))
            m_leaving << left;
    }
    QStringList sources;
    for (const QString& path : {state->current, state->receiving}) {
        if (elsewhere(path) && !sources.contains(path))
            sources << path;
    }
    QStringList moved;
    for (const QString& source : std::as_const(sources)) {
        if (!linkSpool(source, wanted, &problem))
            break;
        moved << source;
    }
    if (moved.size() < sources.size()) {
        // What was linked into `wanted` so far is no job there: the old spool holds them all
        // still, and is scanned instead.
        for (const QString& source : std::as_const(moved))
            unlinkSpool(source, wanted);
        m_path = state->current;
        m_leaving = state->leaving;
        log.append(QStringLiteral("ERROR: Waiting jobs stay in ") + m_path +
                   QStringLiteral(", not in ") + wanted + QStringLiteral(" as lpd.ini says: ") +
                   problem);
        return false;
    }
    m_leaving += moved;
    if (!record(&problem))
        log.append(QStringLiteral("WARNING: Spool folder not recorded: ") + problem);
    for (const QString& source : std::as_const(moved))
        log.append(QStringLiteral("Waiting jobs of ") + source + QStringLiteral(" moved to ") +
                   wanted);
    clearLeftSpools();
    return true;
}

bool Spool::beginChange(const QString& to, QString* reason)
{
    if (isChanging()) {
        *reason = QStringLiteral("the spool folder is still changing to ") + m_receiving;
        return false;
    }
    if (isSameFolder(m_path, to)) {
        m_path = to;
        ++m_generation;
        return record(reason);
    }
    if (const QString problem = spoolMoveProblem(m_path, to); !problem.isEmpty()) {
        *reason = problem;
        return false;
    }
    m_receiving = to;
    if (!record(reason)) {
        m_receiving.clear();
        return false;
    }
    ++m_generation;
    return true;
}

bool Spool::finishChange(QString* reason)
{
    if (!isChanging())
        return true;
    if (QDir(m_path).exists() && !linkSpool(m_path, m_receiving, reason))
        return false;
    const QString old = m_path;
    m_leaving << old;
    m_path = m_receiving;
    m_receiving.clear();
    if (!record(reason)) {
        m_receiving = m_path;
        m_path = old;
        m_leaving.removeLast();
        return false;
    }
    ++m_generation;
    clearLeftSpools();
    return true;
}

void Spool::clearLeftSpools()
{
    const qsizetype before = m_leaving.size();
    // A spool left earlier and taken up again since holds jobs now: never emptied.
    const auto inUse = [this](const QString& left) {
        for (const QString& path : {m_path, m_receiving}) {
            if (!path.isEmpty() && (samePath(left, path) || isSameFolder(left, path)))
                return true;
        }
        return false;
    };
    m_leaving.erase(std::remove_if(m_leaving.begin(), m_leaving.end(),
                                   [&](const QString& left) {
                                       return inUse(left) || clearSpool(left, m_path);
                                   }),
                    m_leaving.end());
    QString ignored;
    if (m_leaving.size() != before)
        record(&ignored);
}
