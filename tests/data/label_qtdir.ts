<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>UpdateProfile</name>
    <message>
        <source>样本类型</source>
        <translation>Qtdir sample type</translation>
    </message>
</context>
</TS>
