"""Login client of the market-data service."""
