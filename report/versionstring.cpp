#include "report/versionstring.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <elf.h>
#include <link.h>

#include <cstring>
#include <optional>

#include "report/versionrecord.h"

namespace {

// Larger section tables or name tables than this are not an executable of ours.
constexpr quint64 MaxTableBytes = 16 * 1024 * 1024;

// The program reads its own executable: an ELF file of this machine's class and byte order.
constexpr unsigned char NativeClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char NativeData = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;
using Header = ElfW(Ehdr);
using SectionHeader = ElfW(Shdr);

// Reads the section table, trusting no offset or count in it: every piece is checked
// against the file before it is read.
class ElfFile
{
public:
    explicit ElfFile(const QString &path)
        : m_file(path)
    {
    }
    std::optional<NewsbenchVersionRecord> findRecord();

private:
    std::optional<QByteArray> read(quint64 offset, quint64 length);

    QFile m_file;
    quint64 m_fileSize = 0;
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

std::optional<NewsbenchVersionRecord> ElfFile::findRecord()
{
    if (!m_file.open(QIODevice::ReadOnly))
        return std::nullopt;
    m_fileSize = quint64(m_file.size());

    const std::optional<QByteArray> headerBytes = read(0, sizeof(Header));
    if (!headerBytes)
        return std::nullopt;
    Header header;
    std::memcpy(&header, headerBytes->constData(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != NativeClass
        || header.e_ident[EI_DATA] != NativeData)
        return std::nullopt;
    const quint64 entrySize = header.e_shentsize;
    const quint64 count = header.e_shnum;
    const quint64 namesIndex = header.e_shstrndx;
    // A file whose counts live in section 0 has tens of thousands of sections: not ours.
    if (header.e_shoff == 0 || entrySize < sizeof(SectionHeader) || count == 0
        || namesIndex >= count)
        return std::nullopt;

    const std::optional<QByteArray> table = read(header.e_shoff, count * entrySize);
    if (!table)
        return std::nullopt;
    auto section = [&](quint64 index) {
        SectionHeader s;
        std::memcpy(&s, table->constData() + index * entrySize, sizeof s);
        return s;
    };
    const SectionHeader namesSection = section(namesIndex);
    if (namesSection.sh_type == SHT_NOBITS)
        return std::nullopt;
    const std::optional<QByteArray> names = read(namesSection.sh_offset, namesSection.sh_size);
    if (!names)
        return std::nullopt;

    const QByteArrayView wanted(NewsbenchVersionSection,
                                sizeof NewsbenchVersionSection); // with NUL
    for (quint64 i = 0; i < count; ++i) {
        const SectionHeader s = section(i);
        if (s.sh_name >= quint64(names->size())
            || !QByteArrayView(*names).sliced(s.sh_name).startsWith(wanted))
            continue;
        if (s.sh_type == SHT_NOBITS || s.sh_size < sizeof(NewsbenchVersionRecord))
            return std::nullopt;
        const std::optional<QByteArray> bytes = read(s.sh_offset, sizeof(NewsbenchVersionRecord));
        if (!bytes)
            return std::nullopt;
        NewsbenchVersionRecord record;
        std::memcpy(&record, bytes->constData(), sizeof record);
        if (std::memcmp(record.magic, NewsbenchVersionMagic, sizeof NewsbenchVersionMagic) != 0)
            return std::nullopt;
        return record;
    }
    return std::nullopt;
}

} // namespace

QString VersionString(const QString &path)
{
    // A FIFO or a device would block or never end; only plain files can be executables.
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return {};
    const std::optional<NewsbenchVersionRecord> v = ElfFile(path).findRecord();
    if (!v)
        return {};

    // The whole flags word decides: several flags together mean neither.
    const char *suffix = v->flags == 1 ? "[beta]" : v->flags == 2 ? "[alpha]" : "";
    return QString::asprintf("v%d.%d.%d Build %d %s", int(v->major), int(v->minor), int(v->release),
                             int(v->build), suffix);
}
