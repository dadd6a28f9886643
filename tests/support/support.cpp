// Shared by the suites; filled by the helpers that need it.
