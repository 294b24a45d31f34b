#include "report/versionstring.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <elf.h>

#include <cstddef>
#include <cstring>
#include <optional>

#include "report/versionrecord.h"

namespace {

// Larger section tables or name tables than this are not an executable of ours.
constexpr quint64 MaxTableBytes = 16 * 1024 * 1024;

struct Version
{
    quint16 major = 0;
    quint16 minor = 0;
    quint16 release = 0;
    quint16 build = 0;
    quint32 flags = 0;
};

struct Section
{
    quint32 name = 0;
    quint32 type = 0;
    quint64 offset = 0;
    quint64 size = 0;
    quint32 link = 0;
};

// Reads the ELF file's section table, trusting no offset or count in it: every piece
// is checked against the file before it is read.
class ElfFile
{
public:
    explicit ElfFile(const QString &path)
        : m_file(path)
    {
    }
    std::optional<Version> findVersion();

private:
    std::optional<QByteArray> read(quint64 offset, quint64 length);
    quint64 field(const QByteArray &bytes, std::size_t at, std::size_t size) const;
    Section section(const QByteArray &table, quint64 index) const;

    QFile m_file;
    quint64 m_fileSize = 0;
    bool m_is64 = false;
    bool m_bigEndian = false;
    quint64 m_sectionEntrySize = 0;
};

std::optional<QByteArray> ElfFile::read(quint64 offset, quint64 length)
{
    if (offset > m_fileSize || length > m_fileSize - offset || length > MaxTableBytes)
        return std::nullopt;
    if (!m_file.seek(qint64(offset)))
        return std::nullopt;
    QByteArray bytes = m_file.read(qint64(length));
    if (quint64(bytes.size()) != length)
        return std::nullopt;
    return bytes;
}

// The caller has made sure that at + size lies within bytes.
quint64 ElfFile::field(const QByteArray &bytes, std::size_t at, std::size_t size) const
{
    const char *p = bytes.constData() + at;
    switch (size) {
    case 2:
        return m_bigEndian ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    case 4:
        return m_bigEndian ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    default:
        return m_bigEndian ? qFromBigEndian<quint64>(p) : qFromLittleEndian<quint64>(p);
    }
}

Section ElfFile::section(const QByteArray &table, quint64 index) const
{
    const std::size_t base = std::size_t(index * m_sectionEntrySize);
    Section s;
    if (m_is64) {
        s.name = quint32(field(table, base + offsetof(Elf64_Shdr, sh_name), 4));
        s.type = quint32(field(table, base + offsetof(Elf64_Shdr, sh_type), 4));
        s.offset = field(table, base + offsetof(Elf64_Shdr, sh_offset), 8);
        s.size = field(table, base + offsetof(Elf64_Shdr, sh_size), 8);
        s.link = quint32(field(table, base + offsetof(Elf64_Shdr, sh_link), 4));
    } else {
        s.name = quint32(field(table, base + offsetof(Elf32_Shdr, sh_name), 4));
        s.type = quint32(field(table, base + offsetof(Elf32_Shdr, sh_type), 4));
        s.offset = field(table, base + offsetof(Elf32_Shdr, sh_offset), 4);
        s.size = field(table, base + offsetof(Elf32_Shdr, sh_size), 4);
        s.link = quint32(field(table, base + offsetof(Elf32_Shdr, sh_link), 4));
    }
    return s;
}

std::optional<Version> ElfFile::findVersion()
{
    if (!m_file.open(QIODevice::ReadOnly))
        return std::nullopt;
    m_fileSize = quint64(m_file.size());

    const std::optional<QByteArray> ident = read(0, EI_NIDENT);
    if (!ident || std::memcmp(ident->constData(), ELFMAG, SELFMAG) != 0)
        return std::nullopt;
    const char elfClass = ident->at(EI_CLASS);
    const char data = ident->at(EI_DATA);
    if ((elfClass != ELFCLASS32 && elfClass != ELFCLASS64)
        || (data != ELFDATA2LSB && data != ELFDATA2MSB))
        return std::nullopt;
    m_is64 = elfClass == ELFCLASS64;
    m_bigEndian = data == ELFDATA2MSB;

    const std::optional<QByteArray> header
        = read(0, m_is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr));
    if (!header)
        return std::nullopt;
    quint64 tableOffset;
    quint64 count;
    quint64 namesIndex;
    if (m_is64) {
        tableOffset = field(*header, offsetof(Elf64_Ehdr, e_shoff), 8);
        m_sectionEntrySize = field(*header, offsetof(Elf64_Ehdr, e_shentsize), 2);
        count = field(*header, offsetof(Elf64_Ehdr, e_shnum), 2);
        namesIndex = field(*header, offsetof(Elf64_Ehdr, e_shstrndx), 2);
    } else {
        tableOffset = field(*header, offsetof(Elf32_Ehdr, e_shoff), 4);
        m_sectionEntrySize = field(*header, offsetof(Elf32_Ehdr, e_shentsize), 2);
        count = field(*header, offsetof(Elf32_Ehdr, e_shnum), 2);
        namesIndex = field(*header, offsetof(Elf32_Ehdr, e_shstrndx), 2);
    }
    if (tableOffset == 0 || m_sectionEntrySize < (m_is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr)))
        return std::nullopt;

    // Many sections: the real count and name table index are kept in section 0.
    if (count == 0 || namesIndex == SHN_XINDEX) {
        const std::optional<QByteArray> first = read(tableOffset, m_sectionEntrySize);
        if (!first)
            return std::nullopt;
        const Section zero = section(*first, 0);
        if (count == 0)
            count = zero.size;
        if (namesIndex == SHN_XINDEX)
            namesIndex = zero.link;
    }
    if (count == 0 || namesIndex >= count || count > MaxTableBytes / m_sectionEntrySize)
        return std::nullopt;

    const std::optional<QByteArray> table = read(tableOffset, count * m_sectionEntrySize);
    if (!table)
        return std::nullopt;
    const Section namesSection = section(*table, namesIndex);
    if (namesSection.type == SHT_NOBITS)
        return std::nullopt;
    const std::optional<QByteArray> names = read(namesSection.offset, namesSection.size);
    if (!names)
        return std::nullopt;

    const QByteArrayView wanted(NewsbenchVersionSection,
                                sizeof NewsbenchVersionSection); // with NUL
    for (quint64 i = 0; i < count; ++i) {
        const Section s = section(*table, i);
        if (s.name >= quint64(names->size())
            || !QByteArrayView(*names).sliced(s.name).startsWith(wanted))
            continue;
        if (s.type == SHT_NOBITS || s.size < sizeof(NewsbenchVersionRecord))
            return std::nullopt;
        const std::optional<QByteArray> record = read(s.offset, sizeof(NewsbenchVersionRecord));
        if (!record
            || std::memcmp(record->constData(), NewsbenchVersionMagic, sizeof NewsbenchVersionMagic)
                != 0)
            return std::nullopt;
        Version v;
        v.major = quint16(field(*record, offsetof(NewsbenchVersionRecord, major), 2));
        v.minor = quint16(field(*record, offsetof(NewsbenchVersionRecord, minor), 2));
        v.release = quint16(field(*record, offsetof(NewsbenchVersionRecord, release), 2));
        v.build = quint16(field(*record, offsetof(NewsbenchVersionRecord, build), 2));
        v.flags = quint32(field(*record, offsetof(NewsbenchVersionRecord, flags), 4));
        return v;
    }
    return std::nullopt;
}

} // namespace

QString VersionString(const QString &path)
{
    // A FIFO or a device would block or never end; only plain files can be executables.
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return {};
    const std::optional<Version> v = ElfFile(path).findVersion();
    if (!v)
        return {};

    // The whole flags word decides: several flags together mean neither.
    const char *suffix = v->flags == 1 ? "[beta]" : v->flags == 2 ? "[alpha]" : "";
    return QString::asprintf("v%d.%d.%d Build %d %s", int(v->major), int(v->minor), int(v->release),
                             int(v->build), suffix);
}
