// The regular-shape decoder of a time series answer (see rows.h). One pass over the
// bytes: the grammar is JSON's (RFC 8259) restricted to what the shape needs, numbers
// are parsed from their exact text and correctly rounded (as Python's float() is), and
// anything outside the shape stops the pass with a reason.
#include "rows.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <system_error>

#include <locale.h>

namespace quorvex::decoder {

namespace {

// Dates outside these years are left to the general path (pandas' own bounds and
// rules apply there).
constexpr int first_year = 1900;
constexpr int last_year = 2200;

constexpr std::int64_t seconds_per_day = 86400;

bool
is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool
is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int
digits(const char *text, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool
is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int
days_in_month(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[month - 1];
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t
days_from_civil(int year, int month, int day)
{
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int year_of_era = y - era * 400;
    const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return static_cast<std::int64_t>(era) * 146097 + day_of_era - 719468;
}

// The double nearest to the decimal text [start, end), already checked to be a JSON
// number with a point or an exponent; the reason if it is declined instead.
//
// Most figures have at most 15 significant digits and a small exponent: the significand
// and the power of ten are then both exact doubles, so one IEEE multiplication or division
// rounds correctly (Clinger's fast path). The rest goes to strtod_l in the "C" locale,
// which glibc rounds correctly too; std::from_chars would do both, but its floating-point
// form needs a C++ runtime newer than the oldest the wheels promise to run on.
const char *
to_double(const char *start, const char *end, double &value)
{
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr int largest_power = 22;
    constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;
    const char *p = start;
    const bool negative = *p == '-';
    p += negative ? 1 : 0;
    std::uint64_t significand = 0;
    int digits_kept = 0;  // significant digits in `significand`
    int scale = 0;        // the power of ten that multiplies it
    bool exact = true;    // no digit lost
    for (bool after_point = false; p < end && (is_digit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            after_point = true;
            continue;
        }
        if (significand == 0 && *p == '0') {
            scale -= after_point ? 1 : 0;
            continue;
        }
        if (digits_kept == 19) {
            exact = false;
            break;
        }
        significand = significand * 10 + static_cast<std::uint64_t>(*p - '0');
        ++digits_kept;
        scale -= after_point ? 1 : 0;
    }
    if (exact && p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool down = *p == '-';
        p += (*p == '-' || *p == '+') ? 1 : 0;
        int exponent = 0;
        for (; p < end && exponent < 100000; ++p) {
            exponent = exponent * 10 + (*p - '0');
        }
        exact = p == end;
        scale += down ? -exponent : exponent;
    }
    if (exact && significand == 0) {
        value = negative ? -0.0 : 0.0;
        return nullptr;
    }
    if (exact && significand <= exact_limit && scale >= -largest_power && scale <= largest_power) {
        const double magnitude = static_cast<double>(significand);
        value = scale < 0 ? magnitude / powers[-scale] : magnitude * powers[scale];
        value = negative ? -value : value;
        return nullptr;
    }
    // strtod_l wants a terminated text; a longer number than any float64 needs is left
    // to the general path.
    char text[128];
    const auto length = static_cast<std::size_t>(end - start);
    if (length >= sizeof(text)) {
        return "a number of more than 127 characters";
    }
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = start[i];
    }
    text[length] = '\0';
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    if (c_locale == locale_t{}) {
        return "no C locale to read a number in";
    }
    char *stop = nullptr;
    value = strtod_l(text, &stop, c_locale);
    // An underflow is still the nearest double (a subnormal or zero), as float() gives.
    return stop == text + length && std::isfinite(value) ? nullptr : "a number outside float64";
}

class Parser {
   public:
    Parser(std::string_view body, std::string_view date_key, const std::string_view *figure_keys,
           std::size_t count, Decoded &out)
        : p_(body.data()),
          end_(body.data() + body.size()),
          date_key_(date_key),
          figure_keys_(figure_keys),
          count_(count),
          plain_names_(plain_names(date_key, figure_keys, count)),
          out_(out)
    {
    }

    // The whole body; nullptr on success, else why it was declined.
    const char *
    run()
    {
        skip_space();
        if (!take('[')) {
            return "not a JSON array";
        }
        skip_space();
        if (take(']')) {
            return "an empty array";
        }
        out_.seconds.reserve(static_cast<std::size_t>(end_ - p_) / 64);
        while (true) {
            if (const char *why = row()) {
                return why;
            }
            ++out_.rows;
            skip_space();
            if (take(',')) {
                skip_space();
                continue;
            }
            if (take(']')) {
                break;
            }
            return "no ',' or ']' after a row";
        }
        skip_space();
        return p_ == end_ ? nullptr : "bytes after the array";
    }

   private:
    void
    skip_space()
    {
        const char *p = p_;
        while (p < end_ && is_space(*p)) {
            ++p;
        }
        p_ = p;
    }

    // Where the digits from `p` end (a local cursor: the compiler would write p_ back
    // at every digit).
    const char *
    digits_end(const char *p) const
    {
        while (p < end_ && is_digit(*p)) {
            ++p;
        }
        return p;
    }

    bool
    take(char c)
    {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    // A text without escapes or control characters; its content in `text`.
    const char *
    plain_text(std::string_view &text)
    {
        if (!take('"')) {
            return "a key or date that is not a text";
        }
        const char *start = p_;
        // A local cursor: the compiler would write p_ back at every character.
        for (const char *p = p_; p < end_; ++p) {
            const char c = *p;
            if (c == '"') {
                text = std::string_view(start, static_cast<std::size_t>(p - start));
                p_ = p + 1;
                return nullptr;
            }
            if (c == '\\') {
                p_ = p;
                return "an escape in a key or date";
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                p_ = p;
                return "a control character in a text";
            }
        }
        p_ = end_;
        return "an unterminated text";
    }

    // The column a key names: 0 the date, 1 + i the i-th figure; -1 for any other key.
    int
    column_of(std::string_view key) const
    {
        if (key == date_key_) {
            return 0;
        }
        for (std::size_t i = 0; i < count_; ++i) {
            if (key == figure_keys_[i]) {
                return static_cast<int>(i) + 1;
            }
        }
        return -1;
    }

    // Whether `name`, in quotes, comes next (then taken). Only for names that read
    // the same as plain_text would read them: no quote, backslash or control character.
    bool
    take_quoted(std::string_view name)
    {
        const std::size_t size = name.size();
        if (!plain_names_ || static_cast<std::size_t>(end_ - p_) < size + 2 || p_[0] != '"' ||
            p_[size + 1] != '"') {
            return false;
        }
        for (std::size_t i = 0; i < size; ++i) {
            if (p_[i + 1] != name[i]) {
                return false;
            }
        }
        p_ += size + 2;
        return true;
    }

    static bool
    plain(std::string_view name)
    {
        for (char c : name) {
            if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
        }
        return true;
    }

    bool
    plain_names(std::string_view date_key, const std::string_view *figure_keys, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (!plain(figure_keys[i])) {
                return false;
            }
        }
        return plain(date_key);
    }

    std::string_view
    name_of(int column) const
    {
        return column == 0 ? date_key_ : figure_keys_[column - 1];
    }

    const char *
    row()
    {
        if (!take('{')) {
            return "a row that is not an object";
        }
        const std::size_t columns = count_ + 1;
        const bool first = out_.rows == 0;
        std::size_t at = 0;
        skip_space();
        if (!take('}')) {
            while (true) {
                // After the first row, the key at this place is most likely the one the
                // first row had here: it is looked for first, as it is written.
                std::string_view key;
                int column = -1;
                if (!first && at < order_.size() && take_quoted(name_of(order_[at]))) {
                    column = order_[at];
                }
                else if (const char *why = plain_text(key)) {
                    return why;
                }
                else {
                    column = column_of(key);
                }
                if (column < 0) {
                    return "a key that is not a column of the data set";
                }
                if (first) {
                    for (int seen : order_) {
                        if (seen == column) {
                            return "a key repeated in a row";
                        }
                    }
                    order_.push_back(column);
                    out_.keys.emplace_back(key);
                    if (column > 0) {
                        slot_.push_back(out_.figures.size());
                        out_.figures.push_back(Figure{
                            .name = std::string(key), .is_float = false, .ints = {}, .floats = {}});
                    }
                    else {
                        slot_.push_back(0);
                    }
                }
                else if (at >= order_.size() || order_[at] != column) {
                    return "rows whose keys differ in name or order";
                }
                skip_space();
                if (!take(':')) {
                    return "no ':' after a key";
                }
                skip_space();
                if (const char *why = column == 0 ? date() : figure(out_.figures[slot_[at]])) {
                    return why;
                }
                ++at;
                skip_space();
                if (take(',')) {
                    skip_space();
                    continue;
                }
                if (take('}')) {
                    break;
                }
                return "no ',' or '}' after a value";
            }
        }
        if (at != columns || (!first && at != order_.size())) {
            return "a row without every column";
        }
        return nullptr;
    }

    const char *
    date()
    {
        std::string_view text;
        if (const char *why = plain_text(text)) {
            return why;
        }
        const char *s = text.data();
        DateForm form;
        if (text.size() == 10) {
            form = DateForm::Day;
        }
        else if (text.size() == 19 && (s[10] == 'T' || s[10] == ' ') && s[13] == ':' &&
                 s[16] == ':') {
            form = s[10] == 'T' ? DateForm::DayTime : DateForm::DaySpaceTime;
        }
        else {
            return "a date in another form";
        }
        if (s[4] != '-' || s[7] != '-') {
            return "a date in another form";
        }
        for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
            if (!is_digit(s[i])) {
                return "a date in another form";
            }
        }
        if (out_.rows == 0) {
            out_.form = form;
            out_.first_date.assign(text);
        }
        else if (form != out_.form) {
            return "dates of more than one form";
        }
        const int year = digits(s, 4);
        const int month = digits(s + 5, 2);
        const int day = digits(s + 8, 2);
        if (year < first_year || year > last_year || month < 1 || month > 12 || day < 1 ||
            day > days_in_month(year, month)) {
            return "a date that is not a day of the calendar";
        }
        std::int64_t seconds = days_from_civil(year, month, day) * seconds_per_day;
        if (form != DateForm::Day) {
            for (std::size_t i : {11u, 12u, 14u, 15u, 17u, 18u}) {
                if (!is_digit(s[i])) {
                    return "a date in another form";
                }
            }
            const int hour = digits(s + 11, 2);
            const int minute = digits(s + 14, 2);
            const int second = digits(s + 17, 2);
            if (hour > 23 || minute > 59 || second > 59) {
                return "a time that is not one of the day";
            }
            seconds += hour * 3600 + minute * 60 + second;
        }
        out_.seconds.push_back(seconds);
        return nullptr;
    }

    // A JSON number or null into `column`.
    const char *
    figure(Figure &column)
    {
        if (end_ - p_ >= 4 && std::string_view(p_, 4) == "null") {
            p_ += 4;
            to_float(column);
            column.floats.push_back(std::numeric_limits<double>::quiet_NaN());
            return nullptr;
        }
        const char *start = p_;
        take('-');
        if (take('0')) {
        }
        else if (p_ < end_ && *p_ >= '1' && *p_ <= '9') {
            p_ = digits_end(p_);
        }
        else {
            return "a figure that is neither a number nor null";
        }
        bool fraction = false;
        if (take('.')) {
            if (!(p_ < end_ && is_digit(*p_))) {
                return "a number without digits after its point";
            }
            p_ = digits_end(p_);
            fraction = true;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (!take('+')) {
                take('-');
            }
            if (!(p_ < end_ && is_digit(*p_))) {
                return "a number without digits in its exponent";
            }
            while (p_ < end_ && is_digit(*p_)) {
                ++p_;
            }
            fraction = true;
        }
        if (!fraction) {
            std::int64_t value = 0;
            const auto [next, error] = std::from_chars(start, p_, value);
            if (error != std::errc() || next != p_) {
                return "an integer outside int64";
            }
            if (column.is_float) {
                column.floats.push_back(static_cast<double>(value));
            }
            else {
                column.ints.push_back(value);
            }
            return nullptr;
        }
        double value = 0;
        if (const char *reason = to_double(start, p_, value)) {
            return reason;
        }
        to_float(column);
        column.floats.push_back(value);
        return nullptr;
    }

    static void
    to_float(Figure &column)
    {
        if (!column.is_float) {
            column.is_float = true;
            column.floats.reserve(column.ints.capacity());
            for (std::int64_t value : column.ints) {
                column.floats.push_back(static_cast<double>(value));
            }
            column.ints.clear();
            column.ints.shrink_to_fit();
        }
    }

    const char *p_;
    const char *const end_;
    const std::string_view date_key_;
    const std::string_view *const figure_keys_;
    const std::size_t count_;
    const bool plain_names_;
    Decoded &out_;
    // The columns in the first row's key order, and each key's place in out_.figures.
    std::vector<int> order_;
    std::vector<std::size_t> slot_;
};

// A column of nulls only has no numeric dtype (pandas makes it object): declined.
bool
has_numbers(const Figure &column)
{
    if (!column.is_float) {
        return true;
    }
    for (double value : column.floats) {
        if (!std::isnan(value)) {
            return true;
        }
    }
    return false;
}

}  // namespace

Outcome
decode_rows(std::string_view body, std::string_view date_key, const std::string_view *figure_keys,
            std::size_t count, Decoded &out, const char *&reason)
{
    try {
        out = Decoded{};
        Parser parser(body, date_key, figure_keys, count, out);
        reason = parser.run();
        if (!reason) {
            for (const Figure &column : out.figures) {
                if (!has_numbers(column)) {
                    reason = "a figure column of nulls only";
                    break;
                }
            }
        }
    }
    catch (const std::bad_alloc &) {
        // The only exception the standard containers throw here; it becomes
        // MemoryError at the module's boundary.
        out = Decoded{};
        reason = "out of memory";
        return Outcome::NoMemory;
    }
    if (reason) {
        out = Decoded{};
        return Outcome::Declined;
    }
    return Outcome::Rows;
}

}  // namespace quorvex::decoder
