"""quorvex: Vietnamese stock-market data from a web service, as pandas DataFrames."""

__version__ = "0.1.0"
