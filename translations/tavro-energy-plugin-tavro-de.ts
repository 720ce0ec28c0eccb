<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>SmartChargingManager</name>
    <message>
        <source>Car plugged in</source>
        <translation>Auto angesteckt</translation>
    </message>
    <message>
        <source>Tap here to update the state of charge.</source>
        <translation>Hier tippen, um den Ladestand zu aktualisieren.</translation>
    </message>
    <message>
        <source>Charging target out of reach</source>
        <translation>Ladeziel nicht erreichbar</translation>
    </message>
    <message>
        <source>%1 will only reach about %2 % by %3 (%4 % wanted).</source>
        <translation>%1 erreicht bis %3 nur etwa %2 % (%4 % gewünscht).</translation>
    </message>
    <message>
        <source>Charging target back in reach</source>
        <translation>Ladeziel wieder erreichbar</translation>
    </message>
    <message>
        <source>%1 will reach the %2 % wanted by %3 after all.</source>
        <translation>%1 erreicht die gewünschten %2 % bis %3 doch noch.</translation>
    </message>
</context>
</TS>
