"""tessaline: a trading-signal simulator; this distribution ships its expression evaluator."""

__version__ = "0.1.0"
