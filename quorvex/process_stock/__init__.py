"""Market-data functions: price bars, foreign flows, dealer desk, match book, dividends."""
