// A decoder of one answer of a time series into typed columns: a JSON array of row
// objects whose keys are a date column and figure columns. It accepts only the plain,
// regular shape a service sends (every row the same keys in the same order, figures as
// JSON numbers or null, dates as "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" texts of one
// form) and declines everything else, so that the caller can hand such an answer to the
// general path, which gives its exact table or its exact error. Plain C++: it touches no
// Python object, so it runs without the interpreter lock and under a fuzzer.
#ifndef QUORVEX_DECODER_ROWS_H
#define QUORVEX_DECODER_ROWS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::decoder {

// How a date text is written; all the dates of one answer share one form.
enum class DateForm : std::uint8_t {
    Day = 0,          // "2024-01-31"
    DayTime = 1,      // "2024-01-31T09:15:00"
    DaySpaceTime = 2  // "2024-01-31 09:15:00"
};

// One figure column, in the order of the rows' keys. The ints are kept while every cell is
// an integer in int64's range; once a cell is a float or null the column is float64 (null
// as NaN, integers converted as Python's float() converts them).
struct Figure {
    std::string name;
    bool is_float = false;
    std::vector<std::int64_t> ints;
    std::vector<double> floats;
};

struct Decoded {
    // The keys of the rows, in their order (the date column among them).
    std::vector<std::string> keys;
    std::size_t rows = 0;
    DateForm form = DateForm::Day;
    // The first date as sent, which the caller uses to ask pandas which resolution its
    // own parse of such texts gives.
    std::string first_date;
    // Seconds since 1970-01-01T00:00:00 of each row's date (no time zone).
    std::vector<std::int64_t> seconds;
    // The figure columns in key order.
    std::vector<Figure> figures;
};

enum class Outcome {
    Rows,      // `out` holds the columns
    Declined,  // not the regular shape: `reason` says why (a static text)
    NoMemory   // an allocation failed
};

// Decodes `body` (the bytes of the answer) whose rows hold `date_key` and the `count`
// figure columns `figure_keys`, each exactly once. An empty array is declined too: its
// table is the general path's own. Never throws: it allocates only inside, and a failed
// allocation is its NoMemory outcome.
Outcome decode_rows(std::string_view body, std::string_view date_key,
                    const std::string_view *figure_keys, std::size_t count, Decoded &out,
                    const char *&reason);

}  // namespace quorvex::decoder

#endif  // QUORVEX_DECODER_ROWS_H
