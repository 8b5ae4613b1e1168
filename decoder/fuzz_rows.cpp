// libFuzzer target of the answer decoder: any bytes, decoded against the price bars'
// columns, must give either a declined answer or columns that hold together (one date and
// one cell per row in each column, finite dates, the keys of the first row). Built and
// run by scripts/fuzz.sh with the address and undefined-behaviour sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "rows.h"

namespace {

constexpr std::string_view figure_keys[] = {"Open", "High", "Low", "Close", "Volume"};
constexpr std::size_t figure_count = sizeof(figure_keys) / sizeof(figure_keys[0]);

void
check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace quorvex::decoder;
    const std::string_view body(reinterpret_cast<const char *>(data), size);
    Decoded decoded;
    const char *reason = nullptr;
    const Outcome outcome =
        decode_rows(body, "DateTime", figure_keys, figure_count, decoded, reason);
    if (outcome != Outcome::Rows) {
        check(reason != nullptr && decoded.rows == 0 && decoded.figures.empty());
        return 0;
    }
    check(reason == nullptr && decoded.rows > 0);
    check(decoded.seconds.size() == decoded.rows);
    check(decoded.keys.size() == figure_count + 1);
    check(decoded.figures.size() == figure_count);
    for (const Figure &figure : decoded.figures) {
        check((figure.is_float ? figure.floats.size() : figure.ints.size()) == decoded.rows);
    }
    // 1900-01-01 to the end of 2200.
    for (std::int64_t seconds : decoded.seconds) {
        check(seconds >= -2208988800LL && seconds < 7289654400LL);
    }
    return 0;
}
