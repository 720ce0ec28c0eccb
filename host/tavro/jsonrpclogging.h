#ifndef JSONRPCLOGGING_H
#define JSONRPCLOGGING_H

#include <QLoggingCategory>

// The JSON-RPC server's log category "JsonRpc" (defined with the server).
Q_DECLARE_LOGGING_CATEGORY(dcJsonRpc)

#endif // JSONRPCLOGGING_H
