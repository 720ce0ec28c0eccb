#ifndef TYPEUTILS_H
#define TYPEUTILS_H

#include <QUuid>
#include <QList>

// Host identifiers are plain UUIDs; as text they carry braces.
using ThingId = QUuid;
using ThingClassId = QUuid;
using StateTypeId = QUuid;
using ActionTypeId = QUuid;
using ParamTypeId = QUuid;
using EventTypeId = QUuid;
using ActionId = QUuid;

#endif // TYPEUTILS_H
