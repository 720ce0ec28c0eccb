#ifndef TYPES_H
#define TYPES_H

#include <QObject>

// Host-wide enums shared by the JSON-RPC layer and the plugins.
namespace Types {
Q_NAMESPACE

// What a client token may do. Methods declare the scope they need; a token
// carries a set of scopes. Admin covers everything.
enum PermissionScope {
    PermissionScopeNone = 0x0000,
    PermissionScopeControlThings = 0x0001,
    PermissionScopeConfigureThings = 0x0002,
    PermissionScopeExecuteRules = 0x0004,
    PermissionScopeConfigureRules = 0x0008,
    PermissionScopeAdmin = 0xFFFF
};
Q_ENUM_NS(PermissionScope)
Q_DECLARE_FLAGS(PermissionScopes, PermissionScope)

}

Q_DECLARE_OPERATORS_FOR_FLAGS(Types::PermissionScopes)

#endif // TYPES_H
