#include "bench/support/grouplistbody.h"

#include <algorithm>
#include <random>
#include <string_view>
#include <vector>

namespace {

// Per million lines, in the order of the Hierarchy enum.
constexpr std::array<qint64, HierarchyCount> HierarchyPerMillion = {1500, 1200, 300, 200, 800};
constexpr quint8 Ordinary = HierarchyCount;

constexpr std::array<std::string_view, HierarchyCount> HierarchyStems
    = {"alt.binaries.pictures.erotica", "alt.sex.", "japan.binaries.pictures.erotica",
       "alt.freedom.jbpe", "alt.binaries.multimedia.erotica."};

// Top levels weighted as in a large commercial spool: binaries dominate.
constexpr std::array<std::string_view, 24> TopLevels = {"alt.binaries.", "alt.binaries.",
                                                        "alt.binaries.", "alt.binaries.",
                                                        "alt.binaries.", "alt.",
                                                        "alt.",          "alt.",
                                                        "comp.lang.",    "comp.os.",
                                                        "comp.",         "fj.",
                                                        "fj.comp.",      "japan.",
                                                        "rec.",          "sci.",
                                                        "soc.culture.",  "news.",
                                                        "misc.",         "de.comp.",
                                                        "fr.",           "microsoft.public.",
                                                        "tw.bbs.",       "uk."};

// No word here can make an ordinary name fall in one of the five hierarchies.
constexpr std::array<std::string_view, 64> Words
    = {"pictures", "multimedia", "sounds",    "mp3",    "movies",   "tv",        "anime",
       "games",    "linux",      "windows",   "unix",   "misc",     "d",         "answers",
       "announce", "c",          "c++",       "python", "perl",     "java",      "lisp",
       "physics",  "math",       "biology",   "music",  "jazz",     "classical", "rock",
       "sports",   "baseball",   "soccer",    "tennis", "autos",    "bicycles",  "food",
       "cooking",  "travel",     "japan",     "tokyo",  "osaka",    "books",     "sf",
       "fantasy",  "comics",     "manga",     "ebooks", "boneless", "teevee",    "hdtv",
       "x264",     "nl",         "de",        "fr",     "cartoons", "nature",    "birds",
       "cats",     "dogs",       "wallpaper", "fonts",  "software", "apps",      "iso",
       "highspeed"};

// Names that come close to the five hierarchies without falling in them.
constexpr std::array<std::string_view, 6> NearMisses = {
    "alt.binaries.pictures.misc", "alt.sexy.bald.captains",         "japan.binaries.pictures.misc",
    "alt.freedom.of.speech",      "alt.binaries.multimedia.erotic", "alt.binaries.erotica"};

void appendPadded(QByteArray &out, qint64 value)
{
    char digits[10];
    for (int i = 9; i >= 0; --i) {
        digits[i] = char('0' + value % 10);
        value /= 10;
    }
    out.append(digits, sizeof digits);
}

void appendWords(QByteArray &out, std::mt19937_64 &random, int count)
{
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            out.append('.');
        const std::string_view word = Words[random() % Words.size()];
        out.append(word.data(), qsizetype(word.size()));
    }
}

} // namespace

GroupListBody MakeGroupListBody(qint64 lines)
{
    GroupListBody list;
    list.lines = lines;

    std::vector<quint8> kinds(std::size_t(lines), Ordinary);
    std::size_t filed = 0;
    for (int h = 0; h < HierarchyCount; ++h) {
        list.hierarchyLines[h] = std::max<qint64>(1, HierarchyPerMillion[h] * lines / 1000000);
        for (qint64 i = 0; i < list.hierarchyLines[h] && filed < kinds.size(); ++i)
            kinds[filed++] = quint8(h);
    }
    std::mt19937_64 random(20240601);
    std::shuffle(kinds.begin(), kinds.end(), random);

    list.bytes.reserve(lines * 52 + 3);
    for (const quint8 kind : kinds) {
        if (kind != Ordinary) {
            const std::string_view stem = HierarchyStems[kind];
            list.bytes.append(stem.data(), qsizetype(stem.size()));
            const bool needsMore = stem.back() == '.';
            if (needsMore || random() % 3 != 0) {
                if (!needsMore)
                    list.bytes.append('.');
                appendWords(list.bytes, random, 1 + int(random() % 2));
            }
        } else if (random() % 200 == 0) {
            const std::string_view name = NearMisses[random() % NearMisses.size()];
            list.bytes.append(name.data(), qsizetype(name.size()));
        } else {
            const std::string_view top = TopLevels[random() % TopLevels.size()];
            list.bytes.append(top.data(), qsizetype(top.size()));
            appendWords(list.bytes, random, 1 + int(random() % 4));
        }
        // Numbers as INN writes them: ten digits, zero-padded; low at most high.
        const qint64 high = qint64(random() % 2000000000);
        const qint64 low = high - qint64(random() % (high + 1));
        list.bytes.append(' ');
        appendPadded(list.bytes, high);
        list.bytes.append(' ');
        appendPadded(list.bytes, low);
        const unsigned flag = unsigned(random() % 50);
        list.bytes.append(flag == 0 ? " m\r\n" : flag == 1 ? " n\r\n" : " y\r\n");
    }
    list.bytes.append(".\r\n");
    return list;
}

LoopbackServer::Session ListOnlySession(const QByteArray &body)
{
    return [body](const QByteArray &command) -> LoopbackServer::Reply {
        if (command == "LIST")
            return {{"215 list of newsgroups follows\r\n", body}};
        if (command.startsWith("GROUP "))
            return {{"411 no such group\r\n"}};
        if (command == "QUIT")
            return {{"205 closing connection\r\n"}, true};
        return {{"500 command not recognized\r\n"}};
    };
}
