"""kiro's utilities and label helpers, one compiled module each."""
