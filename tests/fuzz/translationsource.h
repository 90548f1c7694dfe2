#pragma once

// The messages of a translation source (.ts) file and the file itself, as lrelease reads it;
// the launcher tests and the translation fuzzer compile such files with lrelease.
#include <QList>
#include <QStringList>
#include <QXmlStreamWriter>

struct TsMessage
{
    QString context;
    QString source;
    QString comment; // the disambiguation; none when empty
    QString id; // the key that lrelease -idbased uses; none when empty
    QString type; // "unfinished", "vanished" or "obsolete"; finished when empty
    QStringList translations; // the text, or one per numerus form
    bool numerus = false;
};

inline QByteArray tsDocument(const QString &language, const QList<TsMessage> &messages)
{
    using namespace Qt::StringLiterals;
    QByteArray document;
    QXmlStreamWriter xml(&document);
    xml.writeStartDocument();
    xml.writeDTD(u"<!DOCTYPE TS>"_s);
    xml.writeStartElement(u"TS"_s);
    xml.writeAttribute(u"version"_s, u"2.1"_s);
    if (!language.isEmpty())
        xml.writeAttribute(u"language"_s, language);
    // One context element per message: lrelease gathers those of one name.
    for (const TsMessage &message : messages) {
        xml.writeStartElement(u"context"_s);
        xml.writeTextElement(u"name"_s, message.context);
        xml.writeStartElement(u"message"_s);
        if (!message.id.isEmpty())
            xml.writeAttribute(u"id"_s, message.id);
        if (message.numerus)
            xml.writeAttribute(u"numerus"_s, u"yes"_s);
        xml.writeTextElement(u"source"_s, message.source);
        if (!message.comment.isEmpty())
            xml.writeTextElement(u"comment"_s, message.comment);
        xml.writeStartElement(u"translation"_s);
        if (!message.type.isEmpty())
            xml.writeAttribute(u"type"_s, message.type);
        if (message.numerus) {
            for (const QString &form : message.translations)
                xml.writeTextElement(u"numerusform"_s, form);
        } else {
            xml.writeCharacters(message.translations.value(0));
        }
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndDocument();
    return document;
}
