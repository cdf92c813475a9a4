// Removed once the first kernel lands; a static library needs one source.
