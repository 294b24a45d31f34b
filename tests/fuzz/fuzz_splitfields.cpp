// SplitFields against a model of its rule. Input: delimiter byte, minimum byte, then the text.
#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/textfields.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

std::vector<QByteArrayView> model(QByteArrayView text, int minimum, char delimiter)
{
    // Everything from the first CR or NUL is ignored.
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\0') {
            text = text.first(i);
            break;
        }
    }
    std::vector<QByteArrayView> fields;
    if (!text.isEmpty() && text.front() == delimiter)
        fields.emplace_back(); // the one empty field that leading delimiters give
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == delimiter) {
            if (i > start)
                fields.push_back(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    while (int(fields.size()) < minimum)
        fields.emplace_back();
    return fields;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const char delimiter = char(data[0]);
    const int minimum = int(int8_t(data[1])); // negative minimums as well
    const QByteArrayView text(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    static std::vector<QByteArrayView> fields; // reused between calls, as callers do
    const int count = SplitFields(text, fields, minimum, delimiter);

    FUZZ_CHECK(count == int(fields.size()));
    FUZZ_CHECK(count >= minimum);
    const char *const begin = text.data();
    const char *const end = begin + text.size();
    for (const QByteArrayView field : fields) {
        FUZZ_CHECK(field.isEmpty()
                   || (field.data() >= begin && field.data() + field.size() <= end));
        for (const char c : field)
            FUZZ_CHECK(c != delimiter && c != '\r' && c != '\0');
    }

    // The model takes "everything from the first CR or NUL is ignored" literally, which a CR
    // or NUL delimiter would contradict: those two are only checked for memory safety.
    if (delimiter != '\r' && delimiter != '\0') {
        const std::vector<QByteArrayView> want = model(text, minimum, delimiter);
        FUZZ_CHECK(want.size() == fields.size());
        for (std::size_t i = 0; i < want.size(); ++i)
            FUZZ_CHECK(want[i] == fields[i]);
    }
    return 0;
}
