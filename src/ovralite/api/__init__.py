"""Programming interface of ovralite."""
