// One client's JSON-RPC lines through the host server's parsing, validation
// and dispatch into the "TavroEnergy" namespace, then a few update cycles so
// that whatever the requests changed runs through the planners.
//
// Input: a stream of up to 16 request lines (batches too), cut into lines
// by the transport's own splitter. The client is authenticated with an
// admin token before the first line. Every reply and notification is checked
// against its declaration: one that breaks it aborts the run.

#include "cannednetworkmanager.h"
#include "fuzzenvironment.h"
#include "fuzzhousehold.h"

#include "jsonrpc/tavroenergyjsonhandler.h"

#include "tavro/jsonrpclinebuffer.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpctcptransport.h"

#include <QList>
#include <QUuid>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzEnvironment::initialize();
    FuzzEnvironment::reset();

    FuzzHousehold household;
    household.createManagers();
    TavroEnergyJsonHandler handler(household.spotMarketManager(), household.manager());
    handler.setSolarForecastManager(household.solarForecastManager());
    JsonRpcServer server;
    server.setSelfCheck(JsonRpcServer::SelfCheckFatal);
    server.addToken(QStringLiteral("fuzz"), Types::PermissionScopeAdmin);
    if (!server.registerHandler(&handler, 1, 1))
        qFatal("The TavroEnergy namespace cannot be registered");

    // The server's only way in is its transport's signals; a client that the
    // transport does not know gets its answers dropped, which is all a fuzz
    // run needs.
    JsonRpcTcpTransport *transport = server.findChild<JsonRpcTcpTransport *>();
    if (!transport)
        qFatal("The JSON-RPC server has no transport");
    const QUuid clientId = QUuid::createUuidV5(QUuid(), QStringLiteral("fuzz-client"));
    emit transport->clientConnected(clientId);
    emit transport->lineReceived(
            clientId,
            QByteArrayLiteral(R"({"jsonrpc":"2.0","id":0,"method":"JSONRPC.Authenticate","params":{"token":"fuzz"}})"));

    JsonRpcLineBuffer lines(JsonRpcTcpTransport::maxLineLength);
    lines.append(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QByteArray line;
    for (int i = 0; i < 16 && lines.takeLine(&line) == JsonRpcLineBuffer::LineReady; i++) {
        emit transport->lineReceived(clientId, line);
        FuzzEnvironment::processEvents();
    }
    line = lines.takeRest();
    if (!line.isEmpty())
        emit transport->lineReceived(clientId, line);
    FuzzEnvironment::processEvents();
    household.runCycles(3);

    emit transport->clientDisconnected(clientId);
    FuzzEnvironment::processEvents();
    return 0;
}
