#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <elf.h>

#include <cstddef>
#include <functional>
#include <optional>

#include "report/versionrecord.h"
#include "report/versionstring.h"

using namespace Qt::StringLiterals;

namespace {

// How a hand-made ELF file is laid out, and what is wrong with it.
struct ElfLayout
{
    bool is64 = true;
    bool bigEndian = false;
    quint16 major = 1;
    quint16 minor = 2;
    quint16 release = 3;
    quint16 build = 4;
    quint32 flags = 0;
    bool goodMagic = true;
    quint32 recordType = SHT_PROGBITS;
    quint64 recordSize = sizeof(NewsbenchVersionRecord);
    std::optional<quint64> recordOffset;
    std::optional<quint32> recordName;
    std::optional<quint64> namesOffset;
    std::optional<quint64> namesSize;
    std::optional<quint16> entrySize;
    std::optional<quint16> namesIndex;
    bool extendedNumbering = false; // counts kept in section 0
    std::optional<quint64> extendedCount;
    QByteArray sectionName = ".newsbench_version";
    bool decoyFirst = false; // a section of another name, also holding a record, first
};

class Writer
{
public:
    Writer(QByteArray &bytes, bool bigEndian)
        : m_bytes(bytes)
        , m_big(bigEndian)
    {
    }
    void put(qsizetype at, quint64 value, int size)
    {
        for (int i = 0; i < size; ++i) {
            const int shift = 8 * (m_big ? size - 1 - i : i);
            m_bytes[at + i] = char((value >> shift) & 0xFF);
        }
    }

private:
    QByteArray &m_bytes;
    bool m_big;
};

QByteArray MakeElf(const ElfLayout &s)
{
    const int headerSize = s.is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    const int entrySize = s.is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    const int addressSize = s.is64 ? 8 : 4;

    const QByteArray names = QByteArray("\0.shstrtab\0.other\0", 18) + s.sectionName + '\0';
    const quint32 otherName = 11;
    const quint32 recordName = 18;
    const qsizetype namesAt = headerSize;
    const qsizetype recordAt = (namesAt + names.size() + 7) / 8 * 8;
    const qsizetype otherAt = recordAt + 24;
    const qsizetype tableAt = otherAt + 24;
    const int count = 4;

    QByteArray bytes(tableAt + count * entrySize, '\0');
    Writer w(bytes, s.bigEndian);

    std::memcpy(bytes.data(), ELFMAG, SELFMAG);
    bytes[EI_CLASS] = s.is64 ? ELFCLASS64 : ELFCLASS32;
    bytes[EI_DATA] = s.bigEndian ? ELFDATA2MSB : ELFDATA2LSB;
    bytes[EI_VERSION] = EV_CURRENT;
    const quint16 shnum = s.extendedNumbering ? 0 : count;
    const quint16 shstrndx = s.namesIndex.value_or(s.extendedNumbering ? SHN_XINDEX : 1);
    if (s.is64) {
        w.put(offsetof(Elf64_Ehdr, e_type), ET_EXEC, 2);
        w.put(offsetof(Elf64_Ehdr, e_shoff), tableAt, 8);
        w.put(offsetof(Elf64_Ehdr, e_ehsize), headerSize, 2);
        w.put(offsetof(Elf64_Ehdr, e_shentsize), s.entrySize.value_or(entrySize), 2);
        w.put(offsetof(Elf64_Ehdr, e_shnum), shnum, 2);
        w.put(offsetof(Elf64_Ehdr, e_shstrndx), shstrndx, 2);
    } else {
        w.put(offsetof(Elf32_Ehdr, e_type), ET_EXEC, 2);
        w.put(offsetof(Elf32_Ehdr, e_shoff), tableAt, 4);
        w.put(offsetof(Elf32_Ehdr, e_ehsize), headerSize, 2);
        w.put(offsetof(Elf32_Ehdr, e_shentsize), s.entrySize.value_or(entrySize), 2);
        w.put(offsetof(Elf32_Ehdr, e_shnum), shnum, 2);
        w.put(offsetof(Elf32_Ehdr, e_shstrndx), shstrndx, 2);
    }

    std::memcpy(bytes.data() + namesAt, names.constData(), names.size());
    std::memcpy(bytes.data() + recordAt, s.goodMagic ? NewsbenchVersionMagic : "NBVERSN0", 8);
    w.put(recordAt + offsetof(NewsbenchVersionRecord, major), s.major, 2);
    w.put(recordAt + offsetof(NewsbenchVersionRecord, minor), s.minor, 2);
    w.put(recordAt + offsetof(NewsbenchVersionRecord, release), s.release, 2);
    w.put(recordAt + offsetof(NewsbenchVersionRecord, build), s.build, 2);
    w.put(recordAt + offsetof(NewsbenchVersionRecord, flags), s.flags, 4);
    // The decoy holds another version, which must not be taken.
    std::memcpy(bytes.data() + otherAt, NewsbenchVersionMagic, 8);
    w.put(otherAt + 8, 9, 2);

    auto section = [&](int index, quint32 name, quint32 type, quint64 offset, quint64 size,
                       quint32 link) {
        const qsizetype at = tableAt + index * entrySize;
        w.put(at + (s.is64 ? offsetof(Elf64_Shdr, sh_name) : offsetof(Elf32_Shdr, sh_name)), name,
              4);
        w.put(at + (s.is64 ? offsetof(Elf64_Shdr, sh_type) : offsetof(Elf32_Shdr, sh_type)), type,
              4);
        w.put(at + (s.is64 ? offsetof(Elf64_Shdr, sh_offset) : offsetof(Elf32_Shdr, sh_offset)),
              offset, addressSize);
        w.put(at + (s.is64 ? offsetof(Elf64_Shdr, sh_size) : offsetof(Elf32_Shdr, sh_size)), size,
              addressSize);
        w.put(at + (s.is64 ? offsetof(Elf64_Shdr, sh_link) : offsetof(Elf32_Shdr, sh_link)), link,
              4);
    };
    section(0, 0, SHT_NULL, 0, s.extendedNumbering ? s.extendedCount.value_or(count) : 0,
            s.extendedNumbering ? 1 : 0);
    section(1, 1, SHT_STRTAB, s.namesOffset.value_or(namesAt), s.namesSize.value_or(names.size()),
            0);
    const int recordIndex = s.decoyFirst ? 3 : 2;
    section(5 - recordIndex, otherName, SHT_PROGBITS, otherAt, 20, 0);
    section(recordIndex, s.recordName.value_or(recordName), s.recordType,
            s.recordOffset.value_or(recordAt), s.recordSize, 0);
    return bytes;
}

QString WriteFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a damaged file may give: nothing, or some well-formed version text.
bool PlausibleVersion(const QString &text)
{
    static const QRegularExpression form(
        u"^v\\d{1,5}\\.\\d{1,5}\\.\\d{1,5} Build \\d{1,5} (\\[beta\\]|\\[alpha\\])?$"_s);
    return text.isEmpty() || (form.match(text).hasMatch() && text.size() <= 38);
}

} // namespace

Q_DECLARE_METATYPE(ElfLayout)

class TestVersionString : public QObject
{
    Q_OBJECT

private slots:
    // Executables built with a record, or without
    void builtExecutables_data();
    void builtExecutables();
    void theProgramItself();

    // Paths that lead nowhere
    void noUsableFile_data();
    void noUsableFile();

    // Hand-made files: every ELF class and byte order, and broken ones
    void elfKinds_data();
    void elfKinds();
    void brokenElf_data();
    void brokenElf();

    // Damaged copies of a real executable must not crash the reader
    void truncatedExecutable();
    void corruptedExecutable();
};

void TestVersionString::builtExecutables_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    QTest::newRow("no record") << u"" FIXTURE_NONE ""_s << QString();
    QTest::newRow("largest, alpha")
        << u"" FIXTURE_MAX ""_s << u"v65535.65535.65535 Build 65535 [alpha]"_s;
    QTest::newRow("beta") << u"" FIXTURE_BETA ""_s << u"v1.1.0 Build 53 [beta]"_s;
    QTest::newRow("flags 3, no suffix") << u"" FIXTURE_FLAGS3 ""_s << u"v1.1.0 Build 53 "_s;
}

void TestVersionString::builtExecutables()
{
    QFETCH(QString, path);
    QFETCH(QString, text);
    QVERIFY2(QFile::exists(path), qPrintable(path));
    QCOMPARE(VersionString(path), text);
    if (text.contains(u"65535"_s))
        QCOMPARE(VersionString(path).size(), 38);
}

void TestVersionString::theProgramItself()
{
#ifdef NEWSBENCH_PROGRAM
    if (!QFile::exists(u"" NEWSBENCH_PROGRAM ""_s))
        QSKIP("the program has not been built");
    QCOMPARE(VersionString(u"" NEWSBENCH_PROGRAM ""_s), u"v1.1.0 Build 53 "_s);
#else
    QSKIP("the program is not part of this build");
#endif
}

void TestVersionString::noUsableFile_data()
{
    static QTemporaryDir dir;
    QTest::addColumn<QString>("path");
    QTest::newRow("empty path") << QString();
    QTest::newRow("no such file") << dir.filePath(u"missing"_s);
    QTest::newRow("directory") << dir.path();
    QTest::newRow("empty file") << WriteFile(dir, u"empty"_s, QByteArray());
    QTest::newRow("text file") << WriteFile(dir, u"text"_s, "#!/bin/sh\nexit 0\n");
    QTest::newRow("ELF magic only") << WriteFile(dir, u"magic"_s, ELFMAG);
    QTest::newRow("device") << u"/dev/zero"_s;
    QTest::newRow("the test program, which has no record")
        << QCoreApplication::applicationFilePath();
}

void TestVersionString::noUsableFile()
{
    QFETCH(QString, path);
    QCOMPARE(VersionString(path), QString());
}

void TestVersionString::elfKinds_data()
{
    QTest::addColumn<bool>("is64");
    QTest::addColumn<bool>("bigEndian");
    QTest::addColumn<bool>("extended");
    for (bool is64 : {true}) {
        for (bool big : {false}) {
            for (bool extended : {false}) {
                const QByteArray name = QByteArray(is64 ? "64-bit" : "32-bit")
                    + (big ? " big-endian" : " little-endian")
                    + (extended ? ", counts in section 0" : "");
                QTest::newRow(name.constData()) << is64 << big << extended;
            }
        }
    }
}

void TestVersionString::elfKinds()
{
    QFETCH(bool, is64);
    QFETCH(bool, bigEndian);
    QFETCH(bool, extended);
    QTemporaryDir dir;
    ElfLayout layout;
    layout.is64 = is64;
    layout.bigEndian = bigEndian;
    layout.major = 2;
    layout.minor = 513;
    layout.release = 0;
    layout.build = 258;
    layout.flags = 1;
    layout.extendedNumbering = extended;
    QCOMPARE(VersionString(WriteFile(dir, u"elf"_s, MakeElf(layout))),
             u"v2.513.0 Build 258 [beta]"_s);
    layout.decoyFirst = true;
    QCOMPARE(VersionString(WriteFile(dir, u"elf"_s, MakeElf(layout))),
             u"v2.513.0 Build 258 [beta]"_s);
}

void TestVersionString::brokenElf_data()
{
    QTest::addColumn<bool>("is64");
    QTest::addColumn<ElfLayout>("layout");
    QTest::addColumn<QString>("text");
    const QString found = u"v1.2.3 Build 4 "_s;
    for (bool is64 : {true}) {
        auto row = [&](const char *name, const std::function<void(ElfLayout &)> &change,
                       const QString &text) {
            ElfLayout layout;
            layout.is64 = is64;
            change(layout);
            QTest::addRow("%s, %s", is64 ? "64-bit" : "32-bit", name) << is64 << layout << text;
        };
        row(
            "sound", [](ElfLayout &) {}, found);
        row(
            "flags 2", [](ElfLayout &s) { s.flags = 2; }, u"v1.2.3 Build 4 [alpha]"_s);
        row(
            "flags 3", [](ElfLayout &s) { s.flags = 3; }, found);
        row(
            "flags 0x10001", [](ElfLayout &s) { s.flags = 0x10001; }, found);
        row(
            "wrong magic", [](ElfLayout &s) { s.goodMagic = false; }, QString());
        row(
            "record section too small", [](ElfLayout &s) { s.recordSize = 19; }, QString());
        row(
            "record section without data", [](ElfLayout &s) { s.recordType = SHT_NOBITS; },
            QString());
        row(
            "record past the end", [](ElfLayout &s) { s.recordOffset = 0xFFFFFFF0; }, QString());
        row(
            "record straddles the end", [](ElfLayout &s) { s.recordOffset = 0x1000000; },
            QString());
        row(
            "name past the name table", [](ElfLayout &s) { s.recordName = 0x7FFFFFFF; }, QString());
        row(
            "name is the final NUL", [](ElfLayout &s) { s.recordName = 36; }, QString());
        row(
            "name in the middle of another", [](ElfLayout &s) { s.recordName = 21; }, QString());
        row(
            "similar name", [](ElfLayout &s) { s.sectionName = ".newsbench_version2"; }, QString());
        row(
            "shorter name", [](ElfLayout &s) { s.sectionName = ".newsbench_versio"; }, QString());
        row(
            "name table past the end", [](ElfLayout &s) { s.namesOffset = 0xFFFFFFFF; }, QString());
        row(
            "name table size wraps",
            [](ElfLayout &s) {
                s.namesOffset = 64;
                s.namesSize = 0xFFFFFFFFFFFFFFF0;
            },
            QString());
        row(
            "name table huge", [](ElfLayout &s) { s.namesSize = 0xFFFFFFFF; }, QString());
        row(
            "name table cut short", [](ElfLayout &s) { s.namesSize = 20; }, QString());
        row(
            "section entries too small", [](ElfLayout &s) { s.entrySize = 16; }, QString());
        row(
            "section entries too large", [](ElfLayout &s) { s.entrySize = 0xFFFF; }, QString());
        row(
            "name table index out of range", [](ElfLayout &s) { s.namesIndex = 4; }, QString());
        row(
            "name table index reserved", [](ElfLayout &s) { s.namesIndex = 0xFF00; }, QString());
        row(
            "count in section 0 huge",
            [](ElfLayout &s) {
                s.extendedNumbering = true;
                s.extendedCount = 0xFFFFFFFF;
            },
            QString());
        row(
            "count in section 0 zero",
            [](ElfLayout &s) {
                s.extendedNumbering = true;
                s.extendedCount = 0;
            },
            QString());
    }
}

void TestVersionString::brokenElf()
{
    QFETCH(ElfLayout, layout);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QCOMPARE(VersionString(WriteFile(dir, u"elf"_s, MakeElf(layout))), text);
}

void TestVersionString::truncatedExecutable()
{
    const QByteArray whole = ReadFile(u"" FIXTURE_MAX ""_s);
    QVERIFY(!whole.isEmpty());
    QTemporaryDir dir;
    const QString path = dir.filePath(u"cut"_s);
    const QString wholeText = u"v65535.65535.65535 Build 65535 [alpha]"_s;

    // Every length within the tail, where the section table lies, and a sample before it.
    QList<qsizetype> lengths;
    for (qsizetype n = 0; n < whole.size(); n += qMax<qsizetype>(1, whole.size() / 200))
        lengths << n;
    for (qsizetype n = qMax<qsizetype>(0, whole.size() - 4096); n < whole.size(); ++n)
        lengths << n;
    for (qsizetype n : lengths) {
        QCOMPARE(WriteFile(dir, u"cut"_s, whole.left(n)), path);
        const QString text = VersionString(path);
        QVERIFY2(text.isEmpty() || text == wholeText, qPrintable(QString::number(n)));
    }
}

void TestVersionString::corruptedExecutable()
{
    const QByteArray whole = ReadFile(u"" FIXTURE_BETA ""_s);
    QVERIFY(!whole.isEmpty());
    QTemporaryDir dir;
    QRandomGenerator random(20260101);

    // The header and the section table are what the reader trusts the least.
    const bool is64 = whole.at(EI_CLASS) == ELFCLASS64;
    QVERIFY(is64);
    const auto *header = reinterpret_cast<const Elf64_Ehdr *>(whole.constData());
    const qsizetype tableAt = qsizetype(header->e_shoff);
    const qsizetype tableEnd = tableAt + header->e_shnum * header->e_shentsize;
    QVERIFY(tableEnd <= whole.size());

    for (int round = 0; round < 400; ++round) {
        QByteArray damaged = whole;
        const int changes = 1 + random.bounded(4);
        for (int i = 0; i < changes; ++i) {
            const bool inHeader = random.bounded(3) == 0;
            const qsizetype at = inHeader
                ? qsizetype(random.bounded(qint64(sizeof(Elf64_Ehdr))))
                : tableAt + qsizetype(random.bounded(qint64(tableEnd - tableAt)));
            damaged[at] = char(random.bounded(256));
            if (random.bounded(4) == 0 && at + 8 <= damaged.size())
                std::memset(damaged.data() + at, 0xFF, 8);
        }
        const QString text = VersionString(WriteFile(dir, u"damaged"_s, damaged));
        QVERIFY2(PlausibleVersion(text), qPrintable(text));
    }
}

QTEST_GUILESS_MAIN(TestVersionString)
#include "tst_versionstring.moc"
