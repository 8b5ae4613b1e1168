"""Service address and the login guard."""
