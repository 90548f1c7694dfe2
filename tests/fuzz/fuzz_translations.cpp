// libFuzzer target: the input is a translation file. It is checked and loaded as dbupdate loads
// one, and when it is taken, every label the profile updater writes is looked up in it. Neither
// may crash or hang. Qt's library is not instrumented, so the input ends right before an
// unreadable page: a read past its end faults.
#include "translations.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// As UTF-8 and as the GBK bytes that older translation files are keyed by.
const char *const labels[] = {"梯度1",
                              "梯度2",
                              "梯度3",
                              "梯度4",
                              "样本类型",
                              "初始量[ul]",
                              "报警限[ul]",
                              "中断限[ul]",
                              "住院号",
                              "\xcc\xdd\xb6\xc8\x31",
                              "\xcc\xdd\xb6\xc8\x32",
                              "\xcc\xdd\xb6\xc8\x33",
                              "\xcc\xdd\xb6\xc8\x34",
                              "\xd1\xf9\xb1\xbe\xc0\xe0\xd0\xcd",
                              "\xb3\xf5\xca\xbc\xc1\xbf[ul]",
                              "\xb1\xa8\xbe\xaf\xcf\xde[ul]",
                              "\xd6\xd0\xb6\xcf\xcf\xde[ul]",
                              "\xd7\xa1\xd4\xba\xba\xc5"};

constexpr size_t maxInput = 1 << 20;

// A copy of the input that ends where an unreadable page begins, in one mapping for all runs.
QByteArray guardedCopy(const uint8_t *data, size_t size)
{
    static char *const guard = [] {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        void *mapping = mmap(nullptr, maxInput + page, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED
            || mprotect(static_cast<char *>(mapping) + maxInput, page, PROT_NONE))
            std::abort();
        return static_cast<char *>(mapping) + maxInput;
    }();
    std::memcpy(guard - size, data, size);
    return QByteArray::fromRawData(guard - size, qsizetype(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > maxInput)
        return 0;
    CheckedTranslator translator;
    if (translator.loadChecked(guardedCopy(data, size)) != QmVerdict::Sound)
        return 0;
    // Other contexts reach other buckets of the context table; a comment and a count take the
    // lookup through comments and numerus forms as well.
    for (const char *context : {"UpdateProfile", "QObject", ""}) {
        for (const char *label : labels) {
            translator.translate(context, label);
            translator.translate(context, label, "comment", 2);
        }
    }
    return 0;
}
