#include "config/printerdefinition.h"

namespace printerdef {

namespace {

bool isSeparator(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isFlag(QChar c)
{
    return c == u'+' || c == u'-' || c == u'|';
}

qsizetype tokenLength(const QString& definition)
{
    qsizetype i = 0;
    while (i < definition.size() && !isSeparator(definition[i]))
        ++i;
    return i;
}

} // namespace

QString queueToken(const QString& definition)
{
    return definition.left(tokenLength(definition));
}

QString queueName(const QString& definition)
{
    const QString token = queueToken(definition);
    if (!token.isEmpty() && isFlag(token.front()))
        return token.mid(1);
    return token;
}

QChar flag(const QString& definition)
{
    if (!definition.isEmpty() && isFlag(definition.front()))
        return definition.front();
    return QChar(u'\0');
}

bool printingDisabled(const QString& definition)
{
    const QChar f = flag(definition);
    return f == u'-' || f == u'+';
}

bool spoolingDisabled(const QString& definition)
{
    const QChar f = flag(definition);
    return f == u'|' || f == u'+';
}

QString actionPart(const QString& definition)
{
    qsizetype i = tokenLength(definition);
    while (i < definition.size() && isSeparator(definition[i]))
        ++i;
    return definition.mid(i);
}

bool isRaw(const QString& definition)
{
    return actionPart(definition).startsWith(u'|');
}

QString rawTarget(const QString& definition)
{
    const QString action = actionPart(definition);
    return action.startsWith(u'|') ? action.mid(1) : QString();
}

} // namespace printerdef
