"""Native extension modules of qvtok."""
