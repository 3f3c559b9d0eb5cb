// Keeps the core library non-empty while it has no other source.
