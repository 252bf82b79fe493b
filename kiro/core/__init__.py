"""kiro's operations, one compiled module each, and the option constants (KirO)."""
