// Database files on Windows.
#if defined(_WIN32)
#endif  // _WIN32
