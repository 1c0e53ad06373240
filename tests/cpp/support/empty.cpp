// Keeps the test-support library non-empty before any helper exists.
