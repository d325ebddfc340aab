"""korvane: data-engineering utilities."""
