"""Stand-in for the host package: just enough for the native enclave to import."""
