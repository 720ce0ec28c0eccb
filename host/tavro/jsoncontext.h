#ifndef JSONCONTEXT_H
#define JSONCONTEXT_H

#include "types.h"

#include <QLocale>
#include <QUuid>

// Who sent a JSON-RPC request: the client's connection, its locale and what
// its token allows.
class JsonContext
{
public:
    JsonContext(const QUuid &clientId = QUuid(), const QLocale &locale = QLocale())
        : m_clientId(clientId),
          m_locale(locale)
    {
    }

    QUuid clientId() const { return m_clientId; }
    QLocale locale() const { return m_locale; }
    void setLocale(const QLocale &locale) { m_locale = locale; }
    Types::PermissionScopes permissionScopes() const { return m_permissionScopes; }
    void setPermissionScopes(Types::PermissionScopes scopes) { m_permissionScopes = scopes; }

private:
    QUuid m_clientId;
    QLocale m_locale;
    Types::PermissionScopes m_permissionScopes = Types::PermissionScopeNone;
};

#endif // JSONCONTEXT_H
