#ifndef TYPESREGISTRATION_H
#define TYPESREGISTRATION_H

// Registers the charging records and their lists as meta-types under their
// class names (for queued signals and lookup by name) and the conversion of
// a QVariantList to QList<int> (repeat days unpacked from JSON). Call once at
// start-up; calling it again does nothing.
void registerTavroEnergyTypes();

#endif // TYPESREGISTRATION_H
