#pragma once
// Turns the Proto, Port and Addr texts of a socket into numbers. Errors are values: each
// function returns the message the socket reports, or an empty text on success.

#include <QString>
#include <QStringList>

// "tcp" (6), "udp" (17), a number, or a name from the protocols database.
QString resolveProtocol(const QString& text, int* protocol);
// Leading decimal digits ("515x" is 515), else a service name of the protocol.
QString resolvePort(const QString& text, bool datagram, quint16* port);
// A dotted IPv4 address, else a host name looked up for IPv4. *address in network order.
QString resolveHost(const QString& text, quint32* address);
