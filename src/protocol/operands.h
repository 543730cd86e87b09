#pragma once
// Operand splitting of LPD command lines. Separators are RFC 1179's white space: SP, HT, VT
// and FF (9, 11, 12 and 32); leading and trailing white space yield no word, so a blank
// after a queue name adds no empty user filter.

#include <QByteArray>
#include <QList>
#include <QString>

QList<QByteArray> splitOperands(const QByteArray& text);

// A decimal integer of 64 bits, or -1 when the word is not one.
qint64 operandNumber(const QByteArray& word);

// A queue name from the wire as text, by the rule lpd.ini is read with: UTF-8 when the bytes
// are valid UTF-8, else Latin-1. So "b\xC3\xBCro" from a UTF-8 client and "b\xFCro" from a
// Latin-1 one both name the queue written "büro" in a UTF-8 lpd.ini, and an old Latin-1
// file still matches its Latin-1 clients.
QString operandText(const QByteArray& bytes);
