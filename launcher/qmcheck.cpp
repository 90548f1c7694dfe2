#include "qmcheck.h"

#include <QBitArray>
#include <QHash>
#include <QtEndian>

#include <limits>
#include <optional>

namespace {

// The tags of the sections that Qt's lookup reads or that name further files.
enum SectionTag : quint8 {
    Contexts = 0x2f,
    Hashes = 0x42,
    Messages = 0x69,
    Dependencies = 0x96,
};

// The fields of a message record that Qt's lookup reads; any other tag ends the record. Each
// but the obsolete 32-bit field is followed by a 32-bit big-endian length and that many bytes.
enum FieldTag : quint8 {
    Translation = 3,
    Obsolete = 5,
    SourceText = 6,
    Context = 7,
    Comment = 8,
};

// Where a section's bytes begin in the file and how many there are. Qt's lookup reads some
// fields past a section's end, so each section is checked against the rest of the file.
struct Section
{
    qsizetype at = 0;
    qsizetype size = 0;
};

// The sections by their tags, as Qt's loader reads them: after the magic, each is a tag byte, a
// 32-bit big-endian length and that many bytes. Qt stops at a zero tag or length or where no more
// than five bytes are left, passes over tags it does not know, takes the last of two sections with
// one tag, and refuses the file when a section runs past its end: none then.
std::optional<QHash<quint8, Section>> readSections(QByteArrayView data)
{
    QHash<quint8, Section> sections;
    for (qsizetype at = qmMagic.size(); data.size() - at > 5;) {
        const quint8 tag = quint8(data[at]);
        const qint64 length = qFromBigEndian<quint32>(data.data() + at + 1);
        at += 5;
        if (tag == 0 || length == 0)
            break;
        if (length > data.size() - at)
            return std::nullopt;
        sections.insert(tag, Section {at, qsizetype(length)});
        at += length;
    }
    return sections;
}

// The context table: a bucket count, one 16-bit offset per bucket, then chains of names, each
// a length byte and that many bytes, a chain ending at a zero length. The lookup hashes the
// context name modulo the count and follows the bucket's chain, which begins that many 16-bit
// steps past the offsets. A chain begun inside the file ends in the zero bytes after it at the
// latest: no name is longer than 255 bytes.
bool contextsAreSound(QByteArrayView fromTable)
{
    if (fromTable.size() < 2)
        return false;
    const qsizetype buckets = qFromBigEndian<quint16>(fromTable.data());
    const qsizetype chains = 2 + 2 * buckets;
    if (buckets == 0 || chains > fromTable.size())
        return false;
    for (qsizetype bucket = 0; bucket < buckets; ++bucket) {
        const qsizetype offset = qFromBigEndian<quint16>(fromTable.data() + 2 + 2 * bucket);
        if (offset != 0 && chains + 2 * offset >= fromTable.size())
            return false;
    }
    return true;
}

// For every position in the messages section, whether a lookup that reads a message record from
// there reads nothing outside the file. The lookup reads tags up to the section's end and gives
// the record up at a tag it does not know or at a translation of odd length, as lrelease writes
// a null one (length 0xFFFFFFFF); a translation whose length reads as negative would lead it
// backwards. An empty comment has its next byte read as well, at worst the first zero byte after
// the file. A record only reads forward, so the last position is judged first.
QBitArray soundRecordStarts(QByteArrayView fromMessages, qsizetype size)
{
    QBitArray sound(size);
    for (qsizetype at = size - 1; at >= 0; --at) {
        const quint8 tag = quint8(fromMessages[at]);
        qint64 next = at + 5;
        if (tag == Translation || tag == SourceText || tag == Context || tag == Comment) {
            if (next > fromMessages.size())
                continue;
            const quint32 length = qFromBigEndian<quint32>(fromMessages.data() + at + 1);
            if (tag == Translation && length % 2 != 0) {
                sound.setBit(at);
                continue;
            }
            next += length;
            if (next > fromMessages.size()
                || (tag == Translation && length > quint32(std::numeric_limits<qint32>::max())))
                continue;
        } else if (tag != Obsolete) {
            sound.setBit(at);
            continue;
        }
        sound.setBit(at, next >= size || sound.testBit(qsizetype(next)));
    }
    return sound;
}

// The hash table: 8-byte entries of a 32-bit hash and the 32-bit offset of its message record.
// The lookup searches the whole entries for the hash and reads on while it matches, up to the
// section's end; at an offset past the messages section it reads nothing.
bool hashesAreSound(QByteArrayView fromTable, qsizetype size, const QBitArray &recordStarts)
{
    // With no whole entry the lookup searches nothing.
    if (size < 8)
        return true;
    for (qsizetype at = 0; at < size; at += 8) {
        if (at + 8 > fromTable.size())
            return false;
        const quint32 record = qFromBigEndian<quint32>(fromTable.data() + at + 4);
        if (record < recordStarts.size() && !recordStarts.testBit(record))
            return false;
    }
    return true;
}

} // namespace

// The numerus rules Qt checks itself when it loads the file; without a hash table it looks
// nothing up.
QmVerdict checkQm(QByteArrayView data)
{
    if (!data.startsWith(qmMagic))
        return QmVerdict::NotQm;
    const auto sections = readSections(data);
    if (!sections)
        return QmVerdict::Damaged;
    if (sections->contains(Dependencies))
        return QmVerdict::HasDependencies;
    const Section hashes = sections->value(Hashes);
    if (hashes.size == 0)
        return QmVerdict::Sound;
    const Section contexts = sections->value(Contexts);
    if (contexts.size != 0 && !contextsAreSound(data.sliced(contexts.at)))
        return QmVerdict::Damaged;
    const Section messages = sections->value(Messages);
    const QBitArray recordStarts = soundRecordStarts(data.sliced(messages.at), messages.size);
    return hashesAreSound(data.sliced(hashes.at), hashes.size, recordStarts) ? QmVerdict::Sound
                                                                             : QmVerdict::Damaged;
}
