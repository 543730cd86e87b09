#pragma once
// The send queue shared by the socket and its drainer: bytes wait in 1460-byte blocks and
// go to the kernel as it takes them, several blocks per system call.

#include "net/sendbuffer.h"

#include <QtGlobal>

#include <deque>
#include <memory>

using SendQueue = std::deque<std::unique_ptr<SendBuffer>>;

// Copies length bytes to the end of the queue, filling the last block first.
void appendToSendQueue(SendQueue& queue, const char* data, qint64 length);
// Bytes written to the queue and not yet taken by the kernel.
qint64 queuedBytes(const SendQueue& queue);
// Hands the queue to the kernel until it is empty (result 0), the kernel takes no more
// (EAGAIN) or sending fails (that errno). Never raises SIGPIPE.
int flushSendQueue(int handle, SendQueue& queue);
