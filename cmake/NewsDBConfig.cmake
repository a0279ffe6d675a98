# The news database library, installed: find_package(NewsDB 2.0 CONFIG) gives the target
# NewsDB::newsdb, static or shared as it was built, whose users include "NewsDB.h" and build as
# C++17 or newer. It needs the C++ standard library and the system's threads.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/NewsDBTargets.cmake)
