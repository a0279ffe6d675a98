// The editor's console on Windows.
#if defined(_WIN32)
#endif  // _WIN32
