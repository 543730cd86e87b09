#pragma once
// Operand splitting of LPD command lines. Separators are the bytes 8, 11, 12 and 32; the
// tab is not one (some clients put tabs inside names). A line that ends in separators
// yields one empty word at the end; leading separators yield none.

#include <QByteArray>
#include <QList>

QList<QByteArray> splitOperands(const QByteArray& text);

// A decimal integer of 64 bits, or -1 when the word is not one.
qint64 operandNumber(const QByteArray& word);
