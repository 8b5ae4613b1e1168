"""Deterministic synthetic market data for the sample service.

Each ticker has one fixed history from its listing date to HISTORY_END, built
by a pseudo-random generator seeded with the ticker's name (``random.Random``
seeds a text through SHA-512, so the values are the same in every process,
unlike ``hash()``). A request only slices that history, so any range returns
the same rows for the same days. Trading days are Monday to Friday.
"""

import datetime as dt
import functools
import math
import random
import zlib

# Vietnamese column names and texts, written as escapes so that the source
# holds them in precomposed (NFC) form whatever the editor does.
COL_EX_DATE = "Ng\u00e0y GD kh\u00f4ng h\u01b0\u1edfng quy\u1ec1n"
COL_RECORD_DATE = "Ng\u00e0y \u0110K cu\u1ed1i c\u00f9ng"
COL_EXEC_DATE = "Ng\u00e0y th\u1ef1c hi\u1ec7n"
COL_EVENT = "Lo\u1ea1i s\u1ef1 ki\u1ec7n"
COL_RATIO = "T\u1ef7 l\u1ec7"
COL_AMOUNT = "Gi\u00e1 tr\u1ecb (\u0111\u1ed3ng/CP)"
EVENT_CASH = "C\u1ed5 t\u1ee9c b\u1eb1ng ti\u1ec1n"
EVENT_STOCK = "C\u1ed5 t\u1ee9c b\u1eb1ng c\u1ed5 phi\u1ebfu"
EVENT_RIGHTS = "Quy\u1ec1n mua c\u1ed5 phi\u1ebfu ph\u00e1t h\u00e0nh th\u00eam"

#: The service's placeholder for a value that is not known.
MISSING = "-"

#: Last day of every synthetic history; fixed so that answers never depend on
#: the day the service runs.
HISTORY_END = dt.date(2030, 12, 31)

#: Per ticker: listing date, typical price (VND) and typical daily volume.
TICKERS = {
    "FPT": (dt.date(2006, 12, 13), 95_000, 2_500_000),
    "VNM": (dt.date(2006, 1, 19), 68_000, 3_000_000),
    "HPG": (dt.date(2007, 11, 15), 27_000, 8_000_000),
    "VCB": (dt.date(2009, 6, 30), 90_000, 1_500_000),
}

PRICEBAR_COLUMNS = ["DateTime", "Open", "High", "Low", "Close", "Volume"]
FOREIGN_COLUMNS = [
    "DateTime",
    "buyForeignVolume",
    "sellForeignVolume",
    "buyForeignValue",
    "sellForeignValue",
    "netForeignValue",
    "Close",
]
DEALER_COLUMNS = ["DateTime", "dealerDeskNetValue"]
MATCH_BOOK_COLUMNS = ["DateTime", "buyCount", "buyVolume", "sellCount", "sellVolume"]
DIVIDEND_COLUMNS = [COL_EVENT, COL_RATIO, COL_AMOUNT, COL_EX_DATE, COL_RECORD_DATE, COL_EXEC_DATE]


def is_trading_day(day):
    """Return True for Monday to Friday."""
    return day.weekday() < 5


def _next_trading_day(day, step=1):
    """Return the first trading day ``step`` calendar days or more after ``day``."""
    day += dt.timedelta(days=step)
    while not is_trading_day(day):
        day += dt.timedelta(days=1)
    return day


def _tick(price):
    """Return the price step (VND) that applies at ``price``, as on HOSE."""
    if price < 10_000:
        return 10
    if price < 50_000:
        return 50
    return 100


def _round_price(price, direction=0):
    """Round ``price`` to its tick: nearest (0), up (1) or down (-1)."""
    tick = _tick(price)
    if direction > 0:
        return int(math.ceil(price / tick)) * tick
    if direction < 0:
        return int(math.floor(price / tick)) * tick
    return int(round(price / tick)) * tick


@functools.lru_cache(maxsize=None)
def _history(ticker):
    """Return the whole daily history of ``ticker``: a tuple of dicts, one per trading day.

    Prices follow a mean-reverting walk in log space around the ticker's typical
    price, so they stay in a realistic band over decades. Every derived figure
    (volumes, foreign and dealer flows, order-book counts) is drawn from the same
    generator in a fixed order, which keeps the history reproducible.
    """
    listed, typical_price, typical_volume = TICKERS[ticker]
    rng = random.Random(f"quorvex-sample:{ticker}")
    mean = math.log(typical_price)
    log_close = mean
    close = _round_price(typical_price)
    days = []
    day = listed if is_trading_day(listed) else _next_trading_day(listed)
    book_week_empty = False
    while day <= HISTORY_END:
        # Prices: open near the previous close, high and low around the body.
        open_ = _round_price(close * (1.0 + rng.gauss(0.0, 0.004)))
        log_close += 0.01 * (mean - log_close) + rng.gauss(0.0, 0.018)
        close = _round_price(math.exp(log_close))
        high = _round_price(max(open_, close) * (1.0 + abs(rng.gauss(0.0, 0.008))), 1)
        low = _round_price(min(open_, close) * (1.0 - abs(rng.gauss(0.0, 0.008))), -1)
        volume = int(typical_volume * math.exp(rng.gauss(0.0, 0.45)))
        volume = min(max(volume, 100_000), 9_900_000) // 100 * 100
        average_price = (high + low + close) / 3.0

        # Foreign investors trade a small share of the day's volume.
        buy_fv = int(volume * rng.uniform(0.02, 0.25)) // 10 * 10
        sell_fv = int(volume * rng.uniform(0.02, 0.25)) // 10 * 10
        buy_fval = int(buy_fv * average_price)
        sell_fval = int(sell_fv * average_price)

        # Dealers' own account: often idle, otherwise a net buy or sell.
        if rng.random() < 0.1:
            dealer = 0
        else:
            dealer = int(rng.gauss(0.0, 1.0) * volume * 0.03 * average_price)

        # Order book: whole weeks and single days without data report zeros.
        if day.weekday() == 0 or not days:
            book_week_empty = rng.random() < 0.06
        day_empty = rng.random() < 0.04
        buy_volume = int(volume * rng.uniform(0.8, 1.6)) // 100 * 100
        sell_volume = int(volume * rng.uniform(0.8, 1.6)) // 100 * 100
        buy_count = max(1, int(buy_volume / rng.uniform(800, 2500)))
        sell_count = max(1, int(sell_volume / rng.uniform(800, 2500)))
        if book_week_empty or day_empty:
            buy_count = buy_volume = sell_count = sell_volume = 0

        days.append(
            {
                "day": day,
                "Open": open_,
                "High": high,
                "Low": low,
                "Close": close,
                "Volume": volume,
                "buyForeignVolume": buy_fv,
                "sellForeignVolume": sell_fv,
                "buyForeignValue": buy_fval,
                "sellForeignValue": sell_fval,
                "netForeignValue": buy_fval - sell_fval,
                "dealerDeskNetValue": dealer,
                "buyCount": buy_count,
                "buyVolume": buy_volume,
                "sellCount": sell_count,
                "sellVolume": sell_volume,
            }
        )
        day = _next_trading_day(day)
    return tuple(days)


def _daily(columns):
    """Make the row function of a daily endpoint that serves ``columns``."""

    def rows(ticker, start, end):
        return [
            {
                name: record["day"].isoformat() if name == "DateTime" else _figure(ticker, record, name)
                for name in columns
            }
            for record in _history(ticker)
            if start <= record["day"] <= end
        ]

    return rows


def _figure(ticker, record, name):
    """The day's value of column ``name``; a column the history does not make (a data
    set registered in the package but not modelled here) gets a deterministic whole
    number around zero, so that every registered time series has data to show."""
    if name in record:
        return record[name]
    return zlib.crc32(f"{ticker}:{name}:{record['day']}".encode()) % 2_000_001 - 1_000_000


def _random_day(rng, year, first, last):
    """Return a trading day of ``year`` drawn between the (month, day) bounds."""
    low = dt.date(year, *first).toordinal()
    high = dt.date(year, *last).toordinal()
    day = dt.date.fromordinal(rng.randint(low, high))
    return day if is_trading_day(day) else _next_trading_day(day)


@functools.lru_cache(maxsize=None)
def _events(ticker):
    """Return every entitlement event of ``ticker`` as (ex-date, row) pairs, by ex-date.

    Cash dividends carry a percentage of the 10,000 VND par value and an amount
    per share; stock dividends and rights issues carry a ratio, and their amount
    and execution date are the placeholder "-", as while the new shares have no
    listing date yet.
    """
    listed = TICKERS[ticker][0]
    rng = random.Random(f"quorvex-sample-events:{ticker}")
    events = []

    def add(kind, ratio, amount, ex_date, exec_date):
        record = _next_trading_day(ex_date)
        row = {
            COL_EVENT: kind,
            COL_RATIO: ratio,
            COL_AMOUNT: amount,
            COL_EX_DATE: ex_date.isoformat(),
            COL_RECORD_DATE: record.isoformat(),
            COL_EXEC_DATE: exec_date(record),
        }
        events.append((ex_date, row))

    def paid_later(record):
        return _next_trading_day(record, rng.randint(14, 45)).isoformat()

    def not_known(record):
        return MISSING

    for year in range(listed.year + 1, HISTORY_END.year + 1):
        percent = rng.choice((8, 10, 12, 15, 20, 25))
        add(EVENT_CASH, f"{percent}%", percent * 100, _random_day(rng, year, (4, 15), (7, 31)), paid_later)
        if rng.random() < 0.6:
            percent = rng.choice((5, 8, 10))
            add(EVENT_CASH, f"{percent}%", percent * 100, _random_day(rng, year, (10, 1), (12, 15)), paid_later)
        if rng.random() < 0.35:
            add(
                EVENT_STOCK,
                f"100:{rng.choice((10, 15, 20))}",
                MISSING,
                _random_day(rng, year, (6, 1), (9, 30)),
                not_known,
            )
        if rng.random() < 0.15:
            add(EVENT_RIGHTS, f"10:{rng.choice((1, 2, 3))}", 10_000, _random_day(rng, year, (3, 1), (5, 31)), not_known)
    events.sort(key=lambda event: event[0])
    return tuple(events)


def dividend_rows(ticker, start, end):
    """Return the events of ``ticker`` whose ex-rights date lies in [start, end]."""
    return [dict(row) for ex_date, row in _events(ticker) if start <= ex_date <= end]


#: Row functions by endpoint path; each takes (ticker, start, end) with the
#: ticker in upper case and the bounds as dates, both bounds included.
ENDPOINTS = {
    "/api/stock/pricebars": _daily(PRICEBAR_COLUMNS),
    "/api/stock/foreign": _daily(FOREIGN_COLUMNS),
    "/api/stock/dealerDesk": _daily(DEALER_COLUMNS),
    "/api/stock/sAndD": _daily(MATCH_BOOK_COLUMNS),
    "/api/stock/diviend": dividend_rows,
}


def _registered_series():
    """The time series of the package's registry of data sets (when the package's source
    is importable) that the table above does not serve: each gets its figure columns."""
    try:
        from quorvex.datasets import DATASETS
    except ImportError:
        return {}
    return {
        dataset.endpoint: _daily(["DateTime", *dataset.figures])
        for dataset in DATASETS.values()
        if dataset.is_series and dataset.endpoint not in ENDPOINTS
    }


ENDPOINTS.update(_registered_series())
