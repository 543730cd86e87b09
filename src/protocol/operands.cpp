#include "protocol/operands.h"

#include <QStringDecoder>

namespace {

// RFC 1179's white space: SP, HT, VT and FF.
bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

} // namespace

QList<QByteArray> splitOperands(const QByteArray& text)
{
    QList<QByteArray> words;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && isSeparator(text[i]))
            ++i;
        if (i == n)
            break; // trailing white space: no word
        const qsizetype start = i;
        while (i < n && !isSeparator(text[i]))
            ++i;
        words << text.mid(start, std::min<qsizetype>(i - start, 255));
    }
    return words;
}

qint64 operandNumber(const QByteArray& word)
{
    bool ok = false;
    const qint64 value = word.toLongLong(&ok, 10);
    return ok ? value : -1;
}

QString operandText(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}
