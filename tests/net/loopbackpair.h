#pragma once
// A listening EventSocket on 127.0.0.1 (port chosen by the kernel) that hands every accepted
// connection to a new EventSocket, as the server does; tests drive it with LoopbackClients.

#include "net/eventsocket.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <memory>

class LoopbackPair : public ::testing::Test
{
protected:
    void SetUp() override
    {
        listener.setAddress(QStringLiteral("127.0.0.1"));
        listener.setPort(QStringLiteral("0"));
        listener.setSessionAvailableHandler([this](EventSocket* sender, quint16) {
            UniqueFd handle = sender->accept();
            if (!handle.isValid())
                return;
            server = std::make_unique<EventSocket>();
            server->adoptHandle(handle.get());
            handle.release();
        });
        listener.listen();
        port = listener.localPort();
        ASSERT_NE(port, 0);
    }

    // Connects the client and waits until the server side exists.
    void connectClient(LoopbackClient& client, const char* bindAddress = nullptr)
    {
        server.reset();
        ASSERT_TRUE(client.connectTo(port, bindAddress));
        ASSERT_TRUE(waitUntil([this] { return server != nullptr; }));
        ASSERT_EQ(server->state(), EventSocket::State::Connected);
    }

    EventSocket listener;
    std::unique_ptr<EventSocket> server;
    quint16 port = 0;
};

// A byte pattern that shows misplaced or lost blocks.
inline QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 1460) & 0xff);
    return bytes;
}
