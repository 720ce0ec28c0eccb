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
</context>
</TS>
