#include "qmcheck.h"

#include <QBitArray>
#include <QHash>
#include <QtEndian>

#include <optional>

const QByteArrayView qmMagic("\x3c\xb8\x64\x18\xca\xef\x9c\x95\xcd\x21\x1c\xbf\x60\xa1\xbd\xdd",
                             16);

namespace {

// The sections of a .qm file: after the magic, each is a tag byte, a 32-bit big-endian length
// and that many bytes.
enum SectionTag : quint8 {
    Contexts = 0x2f,
    Hashes = 0x42,
    Messages = 0x69,
    NumerusRules = 0x88,
    Dependencies = 0x96,
    Language = 0xa7,
};

// The fields of a message record; each but the end tag and the obsolete 32-bit field is
// followed by a 32-bit big-endian length and that many bytes.
enum FieldTag : quint8 {
    End = 1,
    Translation = 3,
    Obsolete = 5,
    SourceText = 6,
    Context = 7,
    Comment = 8,
};

quint16 read16(QByteArrayView data, qsizetype at)
{
    return qFromBigEndian<quint16>(data.data() + at);
}

quint32 read32(QByteArrayView data, qsizetype at)
{
    return qFromBigEndian<quint32>(data.data() + at);
}

// The sections by tag; none when the walk leaves the file, meets a tag Qt does not know, an
// empty section or a section given twice. Qt reads the same walk but stops early at a zero tag
// or length and takes the last of two sections.
std::optional<QHash<quint8, QByteArrayView>> readSections(QByteArrayView data)
{
    QHash<quint8, QByteArrayView> sections;
    for (qsizetype at = qmMagic.size(); at < data.size();) {
        if (data.size() - at < 5)
            return std::nullopt;
        const quint8 tag = quint8(data[at]);
        const qint64 length = read32(data, at + 1);
        at += 5;
        const bool known = tag == Contexts || tag == Hashes || tag == Messages
            || tag == NumerusRules || tag == Dependencies || tag == Language;
        if (!known || length == 0 || length > data.size() - at || sections.contains(tag))
            return std::nullopt;
        sections.insert(tag, data.sliced(at, length));
        at += length;
    }
    return sections;
}

// The context table: a bucket count, one 16-bit offset per bucket, then chains of names, each
// a length byte and that many bytes, a chain ending at a zero length. The lookup hashes the
// context name modulo the count and follows the bucket's chain, so every bucket must lead to a
// chain that ends inside the section.
bool contextsAreSound(QByteArrayView block)
{
    if (block.size() < 2)
        return false;
    const qsizetype buckets = read16(block, 0);
    const qsizetype names = 2 + 2 * buckets;
    if (buckets == 0 || names > block.size())
        return false;
    // Chains only lead forward, so the last position is judged first.
    QBitArray endsInside(block.size() + 1);
    for (qsizetype at = block.size() - 1; at >= names; --at) {
        const qsizetype next = at + 1 + quint8(block[at]);
        endsInside.setBit(at, block[at] == 0 || (next < block.size() && endsInside.testBit(next)));
    }
    for (qsizetype bucket = 0; bucket < buckets; ++bucket) {
        const quint16 offset = read16(block, 2 + 2 * bucket);
        const qsizetype chain = names + 2 * qsizetype(offset);
        if (offset != 0 && (chain >= block.size() || !endsInside.testBit(chain)))
            return false;
    }
    return true;
}

// For every position in the messages section, whether a record read from there consists of
// known fields inside the section and ends with its end tag. A record only reads forward, so
// the last position is judged first.
QBitArray soundRecordStarts(QByteArrayView block)
{
    QBitArray sound(block.size() + 1);
    for (qsizetype at = block.size() - 1; at >= 0; --at) {
        const quint8 tag = quint8(block[at]);
        if (tag == End) {
            sound.setBit(at);
            continue;
        }
        qint64 next = at + 5;
        if (next > block.size())
            continue;
        if (tag == Translation || tag == SourceText || tag == Context || tag == Comment) {
            const quint32 length = read32(block, at + 1);
            // A translation is UTF-16.
            if (tag == Translation && length % 2 != 0)
                continue;
            next += length;
        } else if (tag != Obsolete) {
            continue;
        }
        // An empty comment has its next byte read as well, so a record never ends at the end.
        sound.setBit(at, next < block.size() && sound.testBit(qsizetype(next)));
    }
    return sound;
}

// The hash table: pairs of a 32-bit hash and a 32-bit offset of its message record, sorted by
// hash for the lookup's binary search.
bool hashesAreSound(QByteArrayView block, QByteArrayView messages)
{
    if (block.size() % 8 != 0)
        return false;
    const QBitArray recordStarts = soundRecordStarts(messages);
    quint32 previousHash = 0;
    for (qsizetype at = 0; at < block.size(); at += 8) {
        const quint32 hash = read32(block, at);
        const quint32 record = read32(block, at + 4);
        if (hash < previousHash || record >= messages.size() || !recordStarts.testBit(record))
            return false;
        previousHash = hash;
    }
    return true;
}

} // namespace

// The numerus rules Qt checks itself when it loads the file.
QmVerdict checkQm(QByteArrayView data)
{
    if (!data.startsWith(qmMagic))
        return QmVerdict::NotQm;
    const std::optional<QHash<quint8, QByteArrayView>> sections = readSections(data);
    if (!sections)
        return QmVerdict::Damaged;
    if (sections->contains(Dependencies))
        return QmVerdict::HasDependencies;
    if (sections->contains(Contexts) && !contextsAreSound(sections->value(Contexts)))
        return QmVerdict::Damaged;
    if (sections->contains(Hashes)
        && !hashesAreSound(sections->value(Hashes), sections->value(Messages)))
        return QmVerdict::Damaged;
    return QmVerdict::Sound;
}
